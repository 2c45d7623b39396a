// The C interface as a C caller meets it: its failure paths, the whole outcome
// of an operation, and 1,000 cancelled operations started from C.
#include <Orvalis/C/orvalis.h>
#include <SandboxWorld.h>
#include <TestServer.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

extern "C" int start_and_cancel(orvalis_client* client, int n, int counts[4]);

namespace ts = orvalis::testsupport;
using Client = std::unique_ptr<orvalis_client, decltype(&orvalis_client_free)>;

// A string from the library, copied, then freed (with the temporary owner); "" for NULL.
static std::string take(char* text) {
    return std::unique_ptr<char, decltype(&orvalis_free)>(text, &orvalis_free) ? text : "";
}

static Client client(const std::string& host, const char* consumerKey = ts::kSandboxConsumerKey) {
    orvalis_client_config* config = nullptr;
    orvalis_key_source* key = nullptr;
    orvalis_client* made = nullptr;
    EXPECT_EQ(orvalis_client_config_new(&config) || orvalis_key_source_resource("merchant", &key) ||
                  orvalis_client_config_set_host(config, host.c_str()) ||
                  orvalis_client_config_set_consumer_key(config, consumerKey) ||
                  orvalis_client_config_set_key_source(config, key) ||
                  orvalis_client_config_set_key_password(config, ts::kSandboxPassword) ||
                  orvalis_client_new(config, &made),
              ORVALIS_OK);
    orvalis_client_config_free(config);
    orvalis_key_source_free(key);
    return Client(made, &orvalis_client_free);
}

TEST(CInterface, OperationsStartedAndCancelledFromCCallBackOnceOnTheDeliveryThread) {
    int sent[4], refused[4];  // callbacks, cancelled, inside the start call, waits refused
    ASSERT_EQ(start_and_cancel(client(ts::sandboxWorld().host).release(), 1000, sent), 0);
    ASSERT_EQ(start_and_cancel(client("bad host/").release(), 200, refused), 0);  // fail at once
    // On a loaded machine a few may finish before their cancel.
    EXPECT_THAT(sent, testing::ElementsAre(1000, testing::Gt(900), 0, 1000));
    EXPECT_THAT(refused, testing::ElementsAre(200, testing::_, 0, 200));
}

TEST(CInterface, NullsAndBadSizesGiveInvalidArgumentAndNoHandle) {
    Client c = client(ts::sandboxWorld().host);
    orvalis_precheckout_data_request tooSmall = {sizeof(size_t), "id"}, request = {sizeof request, "id"};
    orvalis_call_options negative = {sizeof negative, -1, 0};
    orvalis_operation* op = reinterpret_cast<orvalis_operation*>(1);
    for (orvalis_status status :
         {orvalis_client_get_precheckout_data(c.get(), &tooSmall, nullptr, nullptr, nullptr, &op),
          orvalis_client_get_precheckout_data(c.get(), &request, &negative, nullptr, nullptr, &op),
          orvalis_client_get_precheckout_data(nullptr, &request, nullptr, nullptr, nullptr, &op),
          orvalis_operation_wait(nullptr, 0, nullptr), orvalis_client_new(nullptr, nullptr),
          orvalis_xml_to_json("<a/>", 4, nullptr, nullptr), orvalis_key_source_file(nullptr, nullptr)})
        EXPECT_EQ(status, ORVALIS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(op, nullptr);
}

TEST(CInterface, BadXmlAndUnsafeJsonAreRefusedWithTheReason) {
    char* out = nullptr;
    EXPECT_EQ(orvalis_xml_to_json("<a><b></a>", 10, nullptr, &out), ORVALIS_ERROR_MALFORMED_INPUT);
    EXPECT_EQ(take(orvalis_last_error()), "not well-formed XML: mismatched tag at line 1, column 8");
    for (const std::string json : {R"({"a><b":"x"})", R"({"__name":"r><s","c":"x"})", "[1]", "{",
                                   R"({"r":{"__a b":"1"}})", R"({"__name":5})", R"({"r":"\u0001"})",
                                   R"({"r":{"__comments":"a--b"}})"})
        EXPECT_EQ(orvalis_json_to_xml(json.data(), json.size(), &out), ORVALIS_ERROR_MALFORMED_INPUT) << json;
}

// Answers whose numbers no double holds, and one with a lone surrogate escape.
struct AnswerRow {
    const char* name;
    const char* body;
    const char* json;  // the answer as C gets it; nullptr: refused as a malformed answer
};
class CAnswers : public testing::TestWithParam<AnswerRow> {};

TEST_P(CAnswers, KeepEveryNumberExactOrFailAsMalformed) {
    const AnswerRow& row = GetParam();
    ts::sandboxWorld().server->setFault("precheckoutdata",
                                        {orvalis::sandbox::Fault::Kind::Body, 0, 200, row.body, "application/json"});
    Client c = client(ts::sandboxWorld().host);
    orvalis_precheckout_data_request request = {sizeof request, "sbx-pairing-0001"};
    orvalis_operation* op = nullptr;
    orvalis_result* r = nullptr;
    ASSERT_EQ(orvalis_client_get_precheckout_data(c.get(), &request, nullptr, nullptr, nullptr, &op) ||
                  orvalis_operation_wait(op, 60000, &r),
              ORVALIS_OK);
    EXPECT_EQ(orvalis_result_succeeded(r), row.json != nullptr);
    EXPECT_EQ(take(orvalis_result_answer_json(r)), row.json ? row.json : "");
    EXPECT_EQ(orvalis_result_error_code(r), row.json ? 0 : 101);
    orvalis_result_free(r);
    orvalis_operation_free(op);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, CAnswers,
    testing::Values(AnswerRow{"TwoTo64", R"({"over64":18446744073709551616})", R"({"over64":18446744073709551616})"},
                    AnswerRow{"TwoTo63", R"({"n":9223372036854775808})", R"({"n":9223372036854775808})"},
                    AnswerRow{"TenTo20", R"({"n":100000000000000000000})", R"({"n":100000000000000000000})"},
                    AnswerRow{"MinusTwoTo64", R"({"n":-18446744073709551616})", R"({"n":-18446744073709551616})"},
                    AnswerRow{"BeyondDouble", R"({"a":1e309,"b":1e400,"c":1E+400})", R"({"a":1e309,"b":1e400,"c":1E+400})"},
                    AnswerRow{"LoneSurrogate", R"({"a":"\udc00"})", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CInterface, ConvertersHandOverTheWholeTextWithItsLength) {
    char* out = nullptr;
    size_t length = 99;
    const std::string json = R"({"__name":"r","c":"a&b"})";
    ASSERT_EQ(orvalis_json_to_xml_sized(json.data(), json.size(), &out, &length), ORVALIS_OK);
    EXPECT_EQ(length, 21u);
    EXPECT_EQ(take(out), "<r><c>a&amp;b</c></r>");
    ASSERT_EQ(orvalis_xml_to_json_sized("<r>&#9;</r>", 11, nullptr, &out, &length), ORVALIS_OK);
    EXPECT_EQ(take(out).size(), length);
    const std::string nul = "{\"r\":\"a\\u0000b\"}";
    EXPECT_EQ(orvalis_json_to_xml_sized(nul.data(), nul.size(), &out, &length), ORVALIS_ERROR_MALFORMED_INPUT);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(take(orvalis_last_error()),
              "the tree cannot be written as XML: \"a\\u0000b\" holds a character XML cannot carry (text, byte 1)");
}

constexpr const char* kDigits = R"({"amount":0.10000000000000000000000001,"id":123456789012345678901234567890})";
constexpr const char* kJSON = "application/json";

struct OutcomeRow {
    const char* name;
    bool closedPort;
    const char* consumerKey;
    int status;
    const char* domain;  // nullptr: success
    const char* json;    // in the answer, or in the server's error entry ("" for none)
};

class COutcomes : public testing::TestWithParam<OutcomeRow> {};

TEST_P(COutcomes, ArriveWithEveryField) {
    const OutcomeRow& row = GetParam();
    ts::sandboxWorld().server->setFault("precheckoutdata",
                                        {orvalis::sandbox::Fault::Kind::Body, 0, 200, kDigits, kJSON});
    // The test server's closed port, as host:port (its URL without "https://").
    Client c = client(row.closedPort ? ts::sharedServer().url("", "closed").substr(8) : ts::sandboxWorld().host,
                      row.consumerKey);
    orvalis_precheckout_data_request request = {sizeof request, "sbx-pairing-0001"};
    orvalis_operation* op = nullptr;
    orvalis_result* r = nullptr;
    ASSERT_EQ(orvalis_client_get_precheckout_data(c.get(), &request, nullptr, nullptr, nullptr, &op) ||
                  orvalis_operation_wait(op, 60000, &r),
              ORVALIS_OK);
    EXPECT_EQ(orvalis_result_http_status(r), row.status);
    EXPECT_EQ(orvalis_result_reached(r), row.closedPort ? ORVALIS_REACHED_NO : ORVALIS_REACHED_YES);
    EXPECT_EQ(take(orvalis_result_error_domain(r)), row.domain ? row.domain : "");
    const std::string json = take(row.domain ? orvalis_result_server_error_json(r) : orvalis_result_answer_json(r));
    EXPECT_TRUE(json.find(row.json) != std::string::npos && json.empty() == !*row.json) << json;
    orvalis_result_free(r);
    orvalis_operation_free(op);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, COutcomes,
    testing::Values(OutcomeRow{"AnswerKeepsEveryDigit", false, ts::kSandboxConsumerKey, 200, nullptr, kDigits},
                    OutcomeRow{"ServerError", false, "wrong-key", 401, ORVALIS_NETWORK_ERROR_DOMAIN,
                               R"("reasonCode":"AUTHENTICATION_FAILED")"},
                    OutcomeRow{"TransportFailure", true, ts::kSandboxConsumerKey, 0, ORVALIS_URL_ERROR_DOMAIN, ""}),
    [](const auto& info) { return std::string(info.param.name); });
