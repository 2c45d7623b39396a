// The C interface as a C caller meets it: its failure paths, the whole outcome
// of an operation, requests refused before sending, time limits, and cancels.
#include <Orvalis/C/orvalis.h>
#include <Orvalis/C/orvalis_testing.h>
#include <SandboxWorld.h>
#include <TestPki.h>
#include <TestServer.h>
#include <WideAnswer.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

extern "C" int start_and_cancel(orvalis_client* client, const char* pairing_id, int n, int counts[4]);

namespace ts = orvalis::testsupport;
using Client = std::unique_ptr<orvalis_client, decltype(&orvalis_client_free)>;

// A string from the library, copied, then freed (with the temporary owner); "" for NULL.
static std::string take(char* text) {
    return std::unique_ptr<char, decltype(&orvalis_free)>(text, &orvalis_free) ? text : "";
}

struct Settings {
    const char* key = "merchant";  // a resource; nullptr: no key
    const char* password = ts::kSandboxPassword;
    int requireSignature = 1;
    int64_t idleMs = 0, overallMs = 0;  // 0: the defaults
    const char* journal = nullptr;
    int journalAll = 0;  // orvalis_client_config_set_journal's all_operations
    int fullLogLines = 0;
    int64_t backoffMs = 0;                // when set: 3 attempts, the first pause this long
    orvalis_answerer answerer = nullptr;  // with observer, each set when not null, given user
    orvalis_observer observer = nullptr;
    void* user = nullptr;
};

// A client of host as s has it; orvalis_client_new is expected to return status.
static Client client(const std::string& host, Settings s = {}, orvalis_status status = ORVALIS_OK) {
    orvalis_client_config* config = nullptr;
    orvalis_key_source* key = nullptr;
    orvalis_client* made = nullptr;
    EXPECT_EQ(orvalis_client_config_new(&config) || (s.key && orvalis_key_source_resource(s.key, &key)) ||
                  orvalis_client_config_set_host(config, host.c_str()) ||
                  orvalis_client_config_set_consumer_key(config, ts::kSandboxConsumerKey) ||
                  orvalis_client_config_set_key_source(config, key) ||
                  orvalis_client_config_set_key_password(config, s.password) ||
                  orvalis_client_config_set_require_signature(config, s.requireSignature) ||
                  (s.idleMs && orvalis_client_config_set_idle_timeout_ms(config, s.idleMs)) ||
                  (s.overallMs && orvalis_client_config_set_overall_timeout_ms(config, s.overallMs)) ||
                  (s.journal && orvalis_client_config_set_journal(config, s.journal, s.journalAll)) ||
                  orvalis_client_config_set_full_log_lines(config, s.fullLogLines) ||
                  (s.backoffMs && orvalis_client_config_set_retry(config, 3, s.backoffMs, 1000, 60000)) ||
                  (s.answerer && orvalis_client_config_set_answerer(config, s.answerer, s.user)) ||
                  (s.observer && orvalis_client_config_set_observer(config, s.observer, s.user)),
        ORVALIS_OK);
    EXPECT_EQ(orvalis_client_new(config, &made), status);
    orvalis_client_config_free(config);
    orvalis_key_source_free(key);
    return Client(made, &orvalis_client_free);
}

using Result = std::unique_ptr<orvalis_result, decltype(&orvalis_result_free)>;

// The result of the operation start makes (NULL when it is refused), waited for.
template <class Start>
static Result waited(Start start) {
    orvalis_operation* op = nullptr;
    orvalis_result* r = nullptr;
    if (start(&op) == ORVALIS_OK) orvalis_operation_wait(op, 60000, &r);
    orvalis_operation_free(op);
    return Result(r, &orvalis_result_free);
}

// A payment through client (attempts: the call's own; 0: the client's; its options sized optionsSize), waited for.
static Result pay(const Client& client, int attempts = 0, size_t optionsSize = sizeof(orvalis_call_options)) {
    orvalis_express_checkout_request payment = {
        sizeof payment, "chk", "pair", "pre", 1.5, "EUR", "card", "ship", 0, nullptr, nullptr};
    orvalis_call_options options = {optionsSize, 0, 0, attempts};
    return waited([&](orvalis_operation** op) {
        return orvalis_client_express_checkout(client.get(), &payment, &options, nullptr, nullptr, op);
    });
}

// Pre-checkout data of the sandbox's pairing through client, waited for.
static Result precheckout(const Client& client, const orvalis_call_options* options = nullptr) {
    orvalis_precheckout_data_request request = {sizeof request, "sbx-pairing-0001"};
    return waited([&](orvalis_operation** op) {
        return orvalis_client_get_precheckout_data(client.get(), &request, options, nullptr, nullptr, op);
    });
}

// A read that meets the server's GOAWAY as the last stream of its reused HTTP/2 connection goes again on a new one,
// with no retry asked for (the "goaway" port answers one stream per connection).
TEST(CInterface, AReadCutByAGoawayGoesAgainOnANewConnection) {
    ts::sandboxWorld();  // the merchant key among the resources
    const Client c = client(ts::sharedServer().host("goaway"));
    const orvalis_call_options once = {sizeof once, 0, 0, 1};
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(orvalis_result_succeeded(precheckout(c, &once).get())) << i;
}

TEST(CInterface, OperationsStartedAndCancelledFromCCallBackOnceOnTheDeliveryThread) {
    int sent[4], refused[4];  // callbacks, cancelled, inside the start call, waits refused
    // The merchant key among the resources; the test server's "stall" answer never ends, so that every cancel
    // finds its operation still running.
    ts::sandboxWorld();
    ASSERT_EQ(start_and_cancel(client(ts::sharedServer().host()).release(), "stall", 1000, sent), 0);
    ASSERT_EQ(start_and_cancel(client("bad host/").release(), "stall", 200, refused), 0);  // fail at once
    EXPECT_THAT(sent, testing::ElementsAre(1000, 1000, 0, 1000));
    EXPECT_THAT(refused, testing::ElementsAre(200, testing::_, 0, 200));
}

// A struct_size that cuts a field (26 of the options) or passes the struct (40) is refused, as is a field it
// covers that is out of range (28 with 99 attempts). Refusals keep their kind: a user agent or proxy with a
// line break is INVALID_ARGUMENT naming it, never INTERNAL, as are a trust file that cannot be read and a
// malformed pin.
TEST(CInterface, NullsBadSizesAndRefusedValuesGiveInvalidArgumentAndNoHandle) {
    Client c = client(ts::sandboxWorld().host);
    orvalis_precheckout_data_request tooSmall = {sizeof(size_t), "id"}, request = {sizeof request, "id"};
    orvalis_call_options negative = {sizeof negative, -1, 0, 0}, negativeOverall = {sizeof negative, 0, -1, 0},
                         cut = {26, 0, 0, 1}, unchecked = {28, 0, 0, 99}, past = {40, 0, 0, 1};
    orvalis_precheckout_data_request pastRequest = {sizeof request + 8, "id"};
    orvalis_operation* op = reinterpret_cast<orvalis_operation*>(1);
    orvalis_client_config *agent = nullptr, *proxy = nullptr, *limits = nullptr;
    orvalis_client* made = reinterpret_cast<orvalis_client*>(1);
    ASSERT_EQ(orvalis_client_config_new(&agent) || orvalis_client_config_set_user_agent(agent, "till\r\nX-Evil: 1") ||
                  orvalis_client_config_new(&proxy) || orvalis_client_config_set_proxy(proxy, "http://p:1\n") ||
                  orvalis_client_config_new(&limits) || orvalis_client_config_set_connection_limits(limits, 3, 2, 9),
        ORVALIS_OK);
    auto start = [&op](orvalis_client* client, const orvalis_precheckout_data_request* request,
                     const orvalis_call_options* options) {
        return orvalis_client_get_precheckout_data(client, request, options, nullptr, nullptr, &op);
    };
    for (orvalis_status status : {start(c.get(), &tooSmall, nullptr), start(c.get(), &request, &negative),
             start(c.get(), &request, &negativeOverall), start(nullptr, &request, nullptr),
             start(c.get(), &request, &cut), start(c.get(), &request, &unchecked), start(c.get(), &request, &past),
             start(c.get(), &pastRequest, nullptr), orvalis_operation_wait(nullptr, 0, nullptr),
             orvalis_client_new(nullptr, nullptr), orvalis_xml_to_json("<a/>", 4, nullptr, nullptr),
             orvalis_key_source_file(nullptr, nullptr), orvalis_client_new(agent, &made),
             orvalis_client_config_set_idle_timeout_ms(agent, 0), orvalis_set_key_cache_lifetime(-1),
             orvalis_client_config_add_trusted_certificates(agent, "missing-ca.pem"),
             orvalis_client_config_pin_public_keys(agent, "127.0.0.1", "sha256//short"),
             orvalis_client_config_set_retry(agent, 11, 50, 1000, 0), orvalis_client_new(limits, &made),
             orvalis_client_new(proxy, &made)})
        EXPECT_EQ(status, ORVALIS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(take(orvalis_last_error()), "Client: the proxy holds a line break or NUL");
    size_t length = 1;
    EXPECT_TRUE(op == nullptr && made == nullptr && !orvalis_result_packed(nullptr, &length) && length == 0);
    for (orvalis_client_config* config : {agent, proxy, limits}) orvalis_client_config_free(config);
}

TEST(CInterface, BadXmlAndUnsafeJsonAreRefusedWithTheReason) {
    char* out = nullptr;
    EXPECT_EQ(orvalis_xml_to_json("<a><b></a>", 10, nullptr, &out), ORVALIS_ERROR_MALFORMED_INPUT);
    EXPECT_EQ(take(orvalis_last_error()), "not well-formed XML: mismatched tag at line 1, column 8");
    // (Unreadable JSON and a refused value: the C converters' test in tests/xml.)
    const std::string unwritable = "the tree cannot be written as XML: ";
    for (const auto& [json, reason] : std::vector<std::pair<std::string, std::string>>{
             {R"({"a><b":"x"})", unwritable + R"("a><b" is not an XML name)"}, {"[1]", "not one JSON object"},
             {R"({"r":{"__a b":"1"}})", unwritable + R"("__a b" is not an XML name (as attribute name "_a b"))"},
             {R"({"r":{"-b":"1"}})", unwritable + R"("-b" is not an XML name)"},
             {R"({"r":{"__comments":"a--b"}})", unwritable + R"("a--b" is a comment holding "--" or ending in "-")"}}) {
        EXPECT_EQ(orvalis_json_to_xml(json.data(), json.size(), &out), ORVALIS_ERROR_MALFORMED_INPUT) << json;
        EXPECT_EQ(take(orvalis_last_error()), reason);
    }
}

// orvalis_sign hashes exactly body_length bytes: a NUL inside counts, a byte past the end does not. The key
// cache's lifetime is in milliseconds: a key kept for 200 ms is dropped at the first signature after that.
TEST(CInterface, SignHashesTheBodyByItsLengthAndKeepsAKeyForMilliseconds) {
    const std::string p12 = ts::sandboxWorld().file("merchant.p12");
    orvalis_key_source *byName = nullptr, *byBytes = nullptr;
    ASSERT_EQ(
        orvalis_key_source_resource("merchant", &byName) || orvalis_key_source_memory(p12.data(), p12.size(), &byBytes),
        ORVALIS_OK);
    auto baseString = [](const orvalis_key_source* key, const char* body, size_t length) {
        const orvalis_sign_request r = {sizeof r, "POST", "https://127.0.0.1/x", body, length, "ck", key,
            ts::kSandboxPassword, 0, "fixed-nonce", "1700000000"};
        char* base = nullptr;
        EXPECT_EQ(orvalis_sign(&r, &base, nullptr), ORVALIS_OK);
        return take(base);
    };
    EXPECT_NE(baseString(byName, "a\0b", 3), baseString(byName, "a\0c", 3));
    EXPECT_EQ(baseString(byName, "abX", 2), baseString(byName, "ab", 2));
    orvalis_clear_key_cache();
    ASSERT_EQ(orvalis_set_key_cache_lifetime(200), ORVALIS_OK);
    baseString(byName, "", 0);
    size_t kept = 0;  // the bytes' key, and the name's until its lifetime has passed
    for (int i = 0; i < 500 && kept != 1; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        baseString(byBytes, "", 0);
        kept = orvalis_key_cache_count();
    }
    EXPECT_EQ(kept, 1u);
    orvalis_set_key_cache_lifetime(0);
    orvalis_key_source_free(byName), orvalis_key_source_free(byBytes);
}

// Numbers no double holds, kept to the last digit (C has them as text).
constexpr const char* kDigits = R"({"amount":0.10000000000000000000000001,"id":123456789012345678901234567890,)"
                                R"("p64":18446744073709551616,"p63":9223372036854775808,"m64":-18446744073709551616,)"
                                R"("e20":100000000000000000000,"a":1e309,"b":1e400,"c":1E+400})";
const std::string kWide = ts::wideAnswer(100'000, "\"far\":1e400");  // read twice: a number past the double range

enum class Op { PreCheckout, PaymentData, ExpressCheckout };

// An answer, a failure, or a request refused before sending (status 0: nothing reaches the sandbox).
struct OutcomeRow {
    const char* name;
    Settings settings;
    Op op;
    const char* text;  // the path id, or express checkout's currency
    int answered;      // the status the sandbox gives a pre-checkout, with sent as the body; 0: its own answer
    const char* sent;
    int status;
    int64_t code;        // the error's: 0 on success
    const char* domain;  // nullptr: success
    const char* json;    // in the answer, or in the server's error entry ("" for none)
    const char* body;    // in the failure's body; nullptr: none kept
    const char* said;    // in the error's message
};

class COutcomes : public testing::TestWithParam<OutcomeRow> {};

// What orvalis_result_packed must hold: the texts of the single-field calls, each ended by a NUL.
static std::string byField(const orvalis_result* r) {
    std::string out;
    auto add = [&](const std::string& text) { out.append(text).push_back('\0'); };
    const size_t headers = orvalis_result_header_count(r), attempts = orvalis_result_attempt_count(r);
    for (int64_t n : {int64_t{orvalis_result_succeeded(r)}, int64_t{orvalis_result_http_status(r)},
             int64_t{orvalis_result_reached(r)}, orvalis_result_error_code(r), int64_t(headers), int64_t(attempts)})
        add(std::to_string(n));
    for (char* text : {orvalis_result_answer_json(r), orvalis_result_error_domain(r), orvalis_result_error_message(r),
             orvalis_result_server_error_json(r)})
        add(take(text));
    for (size_t i = 0; i < headers; ++i) {
        char *name = nullptr, *value = nullptr;
        EXPECT_EQ(orvalis_result_header(r, i, &name, &value), ORVALIS_OK);
        add(take(name)), add(take(value));
    }
    for (size_t i = 0; i < attempts; ++i) {
        orvalis_attempt a{};
        a.struct_size = sizeof a;
        EXPECT_EQ(orvalis_result_attempt(r, i, &a), ORVALIS_OK);
        add(take(orvalis_result_attempt_correlation_id(r, i)));
        for (int64_t n : {a.started_after_us, a.name_lookup_us, a.connect_us, a.tls_us, a.first_byte_us, a.total_us,
                 int64_t{a.http_status}, a.error_code})
            add(std::to_string(n));
    }
    return out;
}

TEST_P(COutcomes, ArriveWithEveryField) {
    const OutcomeRow& row = GetParam();
    using orvalis::sandbox::Fault;
    ts::sandboxWorld().server->setFault("precheckoutdata",
        {row.answered ? Fault::Kind::Body : Fault::Kind::None, 0, row.answered, row.sent, "application/json", ""});
    Client c = client(ts::sandboxWorld().host, row.settings);
    orvalis_precheckout_data_request pre = {sizeof pre, row.text};
    orvalis_payment_data_request pay = {sizeof pay, row.text, "k", "c", nullptr, nullptr};
    orvalis_express_checkout_request pay_now = {
        sizeof pay_now, "c", "p", "pt", 1, row.text, "card", "s", 0, nullptr, nullptr};
    const size_t before = ts::sandboxWorld().server->requests().size();
    const Result result = waited([&](orvalis_operation** op) {
        return row.op == Op::PreCheckout   ? orvalis_client_get_precheckout_data(c.get(), &pre, {}, {}, {}, op)
               : row.op == Op::PaymentData ? orvalis_client_get_payment_data(c.get(), &pay, {}, {}, {}, op)
                                           : orvalis_client_express_checkout(c.get(), &pay_now, {}, {}, {}, op);
    });
    const orvalis_result* r = result.get();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(ts::sandboxWorld().server->requests().size(), before + (row.status != 0));
    EXPECT_EQ(orvalis_result_http_status(r), row.status);
    EXPECT_EQ(orvalis_result_reached(r), row.status ? ORVALIS_REACHED_YES : ORVALIS_REACHED_NO);
    EXPECT_EQ(take(orvalis_result_error_domain(r)), row.domain ? row.domain : "");
    EXPECT_THAT(take(orvalis_result_error_message(r)), testing::HasSubstr(row.said));
    const std::string json = take(row.domain ? orvalis_result_server_error_json(r) : orvalis_result_answer_json(r));
    EXPECT_TRUE(json.find(row.json) != std::string::npos && json.empty() == !*row.json) << json;
    size_t length = 1;
    const std::string body = take(orvalis_result_body(r, &length));
    EXPECT_TRUE(row.body ? body.find(row.body) != std::string::npos && length == body.size() : length == 0) << body;
    EXPECT_EQ(orvalis_result_error_code(r), row.code);
    char *name = nullptr, *value = nullptr;
    EXPECT_EQ(orvalis_result_header(r, 0, &name, &value), row.status ? ORVALIS_OK : ORVALIS_ERROR_INVALID_ARGUMENT);
    const std::string field = take(name) + ": " + take(value);
    EXPECT_EQ(field.size() > 4, row.status != 0) << field;
    char* packed = orvalis_result_packed(r, &length);
    EXPECT_EQ(std::string(packed, packed ? length : 0), byField(r));
    orvalis_free(packed);
}

// A request refused before sending names why; one that needs no signature goes unsigned, and the sandbox's
// refusal of it is the server's error (401).
INSTANTIATE_TEST_SUITE_P(Rows, COutcomes,
    testing::Values(OutcomeRow{"AnswerKeepsEveryDigit", {}, Op::PreCheckout, "pair-1", 200, kDigits, 200, 0, nullptr,
                        kDigits, nullptr, ""},
        OutcomeRow{"LoneSurrogateIsMalformed", {}, Op::PreCheckout, "pair-1", 200, R"({"a":"\udc00"})", 200, 101,
            ORVALIS_NETWORK_ERROR_DOMAIN, "", "udc00", ""},
        OutcomeRow{"Http500WithoutErrors", {}, Op::PreCheckout, "pair-1", 500, kDigits, 500, 500,
            ORVALIS_HTTP_ERROR_DOMAIN, "", kDigits, ""},
        OutcomeRow{"HundredThousandShortMembers", {}, Op::PreCheckout, "pair-1", 200, kWide.c_str(), 200, 0, nullptr,
            R"("k99999":0,"far":1e400})", nullptr, ""},
        OutcomeRow{"UnsignedWhenNotRequired", {.key = nullptr, .requireSignature = 0}, Op::PreCheckout, "pair-1", 0, "",
            401, 401, ORVALIS_HTTP_ERROR_DOMAIN, R"("reasonCode":"AUTHENTICATION_FAILED")", "no signature", ""},
        OutcomeRow{"NoPassword", {.password = nullptr}, Op::PaymentData, "tx-1", 0, "", 0, -1231,
            ORVALIS_URL_ERROR_DOMAIN, "", nullptr, "no password given"},
        OutcomeRow{"TextNotUTF8", {}, Op::ExpressCheckout, "E\xffR\xc0", 0, "", 0, -1232, ORVALIS_URL_ERROR_DOMAIN, "",
            nullptr, ""},
        OutcomeRow{
            "NoPairingId", {}, Op::PreCheckout, nullptr, 0, "", 0, -1233, ORVALIS_URL_ERROR_DOMAIN, "", nullptr, ""},
        OutcomeRow{
            "EmptyTransactionId", {}, Op::PaymentData, "", 0, "", 0, -1233, ORVALIS_URL_ERROR_DOMAIN, "", nullptr, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CInterface, Int64MaxIsNoTimeLimitAnIdleTimeOutLeavesReachedMaybeAndAForkedChildCallsOnItsOwn) {
    ts::sandboxWorld().server->setFault("initializepairing", *orvalis::sandbox::Fault::parse("delay:1000"));
    Client c = client(ts::sandboxWorld().host, {.idleMs = INT64_MAX, .overallMs = INT64_MAX});
    orvalis_initialize_pairing_request request = {sizeof request, "c-1", "u-1"};
    orvalis_call_options shortIdle = {sizeof shortIdle, 300, 0, 0};
    orvalis_operation *slow = nullptr, *cut = nullptr;
    orvalis_result *answered = nullptr, *timedOut = nullptr;
    std::atomic<int> takenIn = 0;
    ts::sandboxWorld().server->setObserver([&](auto&) { ++takenIn; });
    ASSERT_EQ(orvalis_client_initialize_pairing(c.get(), &request, {}, {}, {}, &slow) ||
                  orvalis_client_initialize_pairing(c.get(), &request, &shortIdle, {}, {}, &cut),
        ORVALIS_OK);
    // A child's own calls work; the two in flight stay the parent's. The fork waits until both wait in the
    // server's delay: a thread of this test's server inside OpenSSL at the fork could hold its locks.
    for (int i = 0; i < 500 && takenIn < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ts::sandboxWorld().server->setObserver({});
    const pid_t child = ts::kForkWithBusyThreads ? fork() : -1;
    if (child == 0) {
        alarm(30);  // a call that never ends shows as SIGALRM
        const Result mine = precheckout(c);
        _exit(orvalis_result_succeeded(mine.get()) && orvalis_client_wait_idle(c.get(), 5000) == ORVALIS_OK ? 0 : 1);
    }
    EXPECT_EQ(orvalis_operation_wait(slow, 10, &answered), ORVALIS_ERROR_TIMEOUT);  // still running: no result
    EXPECT_TRUE(answered == nullptr && !orvalis_operation_is_done(slow));
    // Each wait has something left to wait for: the cut one ends first, the slow one a while later.
    ASSERT_EQ(orvalis_operation_wait(cut, INT64_MAX, &timedOut), ORVALIS_OK);
    ASSERT_EQ(orvalis_client_wait_idle(c.get(), INT64_MAX), ORVALIS_OK);
    EXPECT_EQ(orvalis_operation_is_done(slow), 1);
    ASSERT_EQ(orvalis_operation_wait(slow, 0, &answered), ORVALIS_OK);
    ts::sandboxWorld().server->setFault("initializepairing", {});
    EXPECT_TRUE(orvalis_result_succeeded(answered)) << take(orvalis_result_error_message(answered));
    EXPECT_EQ(orvalis_result_error_code(timedOut), ORVALIS_URL_ERROR_TIMED_OUT);
    EXPECT_EQ(orvalis_result_reached(timedOut), ORVALIS_REACHED_MAYBE);
    for (orvalis_result* r : {answered, timedOut}) orvalis_result_free(r);
    for (orvalis_operation* op : {slow, cut}) orvalis_operation_free(op);
    int status = 0;
    if (child > 0) { ASSERT_EQ(waitpid(child, &status, 0), child); }
    EXPECT_EQ(status, 0);
}

// Retries, attempt timings, correlation ids and the observer, as a C host sees them.
static void collect(const orvalis_event* event, void* user_data) {
    auto* seen = static_cast<std::vector<std::string>*>(user_data);  // delivery thread; read after the wait
    seen->push_back(
        std::to_string(event->kind) + (event->retry_in_ms >= 1000 ? "+pause" : "") +
        (event->kind == ORVALIS_EVENT_COMPLETED && orvalis_result_attempt_count(event->result) == 2 ? "+2" : ""));
}

TEST(CInterface, AttemptsAreRetriedTimedAndObserved) {
    auto& world = ts::sandboxWorld();
    world.server->setFault("precheckoutdata", *orvalis::sandbox::Fault::parse("unavailable:1"));
    std::vector<std::string> seen;
    Client c = client(world.host, {.backoffMs = 50, .observer = &collect, .user = &seen});
    Result r = precheckout(c);
    ASSERT_TRUE(r && orvalis_result_succeeded(r.get()));
    ASSERT_EQ(orvalis_result_attempt_count(r.get()), 2u);
    orvalis_attempt a[2] = {};
    a[0].struct_size = a[1].struct_size = sizeof(orvalis_attempt);
    ASSERT_EQ(orvalis_result_attempt(r.get(), 0, &a[0]) || orvalis_result_attempt(r.get(), 1, &a[1]), ORVALIS_OK);
    EXPECT_EQ(orvalis_result_attempt(r.get(), 2, &a[0]), ORVALIS_ERROR_INVALID_ARGUMENT);
    EXPECT_TRUE(
        a[0].http_status == 503 && a[1].http_status == 200 && a[1].started_after_us - a[0].started_after_us >= 950000);
    const std::string auth = world.server->requests().back().authorization,
                      id = take(orvalis_result_attempt_correlation_id(r.get(), 1));
    EXPECT_TRUE(!id.empty() && auth.find("oauth_nonce=\"" + id + "\"") != std::string::npos) << auth;
    EXPECT_NE(id, take(orvalis_result_attempt_correlation_id(r.get(), 0)));
    EXPECT_EQ(seen, (std::vector<std::string>{"0", "1+pause", "1", "2+2"}));
    // A payment never sent (refused, reset in the TLS handshake: -1200) goes again, unless the call asks for
    // one attempt or the server is not trusted. max_attempts is read when struct_size covers it (28: to its
    // end), else (24) the client's 3 hold.
    const size_t whole = sizeof(orvalis_call_options);
    for (auto [port, attempts, size, code, made] :
        {std::tuple("closed", 1, size_t{28}, -1004, 1u), std::tuple("closed", 1, size_t{24}, -1004, 3u),
            std::tuple("tlsreset", 0, whole, -1200, 3u), std::tuple("self", 0, whole, -1202, 1u)}) {
        Result out = pay(client(ts::sharedServer().host(port)), attempts, size);
        EXPECT_EQ(orvalis_result_error_code(out.get()), code) << port << size;
        EXPECT_EQ(orvalis_result_attempt_count(out.get()), made) << port << size;
        EXPECT_EQ(orvalis_result_reached(out.get()), ORVALIS_REACHED_NO) << port << size;
    }
}

// The test double from C: the answerer sees each signed request, which the signature check accepts,
// and rejects once tampered with.
static std::string verdict(const orvalis_exchange* request, const std::string& pem) {
    char* reason = reinterpret_cast<char*>(1);
    if (orvalis_check_signature(request, pem.c_str(), ts::kSandboxConsumerKey, &reason) != ORVALIS_OK) return "error";
    return reason == nullptr ? "verifies" : take(reason);
}

struct Checked {
    std::string pem;
    std::vector<std::string> verdicts;  // delivery thread; read after the waits
};

static void answer(const orvalis_exchange* request, orvalis_reply* reply, void* user_data) {
    auto* checked = static_cast<Checked*>(user_data);
    checked->verdicts.push_back(verdict(request, checked->pem));
    if (request->body_length > 0) {  // the payment, checked again with its amount changed
        std::string body(request->body, request->body_length);
        orvalis_exchange tampered = *request;
        tampered.body = body.replace(body.find("1.5"), 3, "9.5").data();
        checked->verdicts.push_back(verdict(&tampered, checked->pem));
    }
    reply->content_type = "application/json";
    reply->body = "{\"ok\":1}";
    reply->body_length = std::strlen(reply->body);
}

// A client that asks for full log lines has them (redaction itself: operation_handle_test.cpp and the Python tests).
TEST(CInterface, AnAnsweredClientSendsSignedRequestsThatTheCheckTellsFromTamperedOnes) {
    Checked checked{ts::sandboxWorld().file("merchant.pem"), {}};
    std::string lines;  // delivery thread; read after the waits
    orvalis_set_log_handler(
        [](const char* line, size_t, void* user) { static_cast<std::string*>(user)->append(line) += '\n'; }, &lines);
    Client c = client("api.example.com", {.fullLogLines = 1, .answerer = &answer, .user = &checked});
    // EXPECT, not ASSERT, until the handler is reset: an early return would leave it writing to a dead string.
    Result r = precheckout(c);
    EXPECT_TRUE(r && orvalis_result_succeeded(r.get()));
    EXPECT_EQ(take(orvalis_result_answer_json(r.get())), "{\"ok\":1}");
    EXPECT_TRUE(pay(c));
    orvalis_set_log_handler(nullptr, nullptr);  // silent, as the sandbox world left it
    EXPECT_NE(lines.find("Response: {\"ok\":1}"), std::string::npos) << lines;
    EXPECT_EQ(checked.verdicts, (std::vector<std::string>{"verifies", "verifies", "body hash mismatch"}));
}

// Reads answer; a payment is lost on the way back, so that it may have been made.
static void paymentLost(const orvalis_exchange* request, orvalis_reply* reply, void*) {
    const bool post = std::strcmp(request->method, "POST") == 0;
    reply->body = post ? nullptr : "{}";
    reply->body_length = post ? 0 : 2;
    reply->error_code = post ? ORVALIS_URL_ERROR_NETWORK_CONNECTION_LOST : 0;
    reply->request_sent = post;
}

// The journal from C, in a file (either scope) and in PostgreSQL: a read is recorded only when all operations are
// asked for; a payment that may have been made is found under this process's instance, reads "unsettled": true
// until settled (once), and copies into another journal once. A file that is not a journal keeps the client from
// being made, and is left as it was.
TEST(CInterface, TheJournalKeepsItsScopeSettlesOnceCopiesAndRefusesAFileThatIsNoJournal) {
    ts::sandboxWorld();  // the merchant key among the resources, when this case runs alone
    ts::TempDir dir;
    const std::string database = ts::postgresCluster();  // none without a PostgreSQL cluster (ctest starts one)
    ASSERT_EQ(orvalis_journal_set_instance("c-face", 1000), ORVALIS_OK);
    EXPECT_EQ(orvalis_journal_set_instance("line\nbreak", 1000), ORVALIS_ERROR_INVALID_ARGUMENT);
    for (auto [where, all] : {std::pair((dir.path() / "0.db").string(), 0),
             std::pair((dir.path() / "1.db").string(), 1), std::pair(database, 0)}) {
        if (where.empty()) continue;
        Client c = client("api.example.com", {.journal = where.c_str(), .journalAll = all, .answerer = &paymentLost});
        precheckout(c);
        pay(c);
        ASSERT_EQ(orvalis_client_wait_idle(c.get(), 60000), ORVALIS_OK);  // outcomes are written after completion
        const std::string copyPath =
            (dir.path() / ("copy" + std::to_string(all) + (where == database ? "pg" : ""))).string();
        orvalis_journal *journal = nullptr, *copy = nullptr;
        ASSERT_EQ(orvalis_journal_open(where.c_str(), &journal), ORVALIS_OK);
        const std::unique_ptr<orvalis_journal, ts::FreeWith<orvalis_journal_free>> owned(journal);
        ASSERT_EQ(orvalis_journal_open(copyPath.c_str(), &copy), ORVALIS_OK);
        const std::unique_ptr<orvalis_journal, ts::FreeWith<orvalis_journal_free>> ownedCopy(copy);
        char* text = nullptr;
        ASSERT_EQ(orvalis_journal_find_json(journal, "c-face", 0, ORVALIS_JOURNAL_ALL_ENTRIES, 0, &text), ORVALIS_OK);
        const std::string found = take(text);
        EXPECT_EQ(found.find("getPrecheckoutData") != std::string::npos, all == 1) << found;
        EXPECT_THAT(found, testing::AllOf(testing::HasSubstr("\"unsettled\":true"),
                               testing::HasSubstr(R"("requestIds":{"checkoutId":"chk","pairingId")"),
                               testing::HasSubstr(R"("instance":"c-face","instanceStale":false})")));
        const int64_t paid = std::stoll(found.substr(found.rfind("{\"id\":") + 6));
        const std::string entry = "{\"id\":" + std::to_string(paid) + ",";
        ASSERT_EQ(orvalis_journal_unsettled_json(journal, &text), ORVALIS_OK);
        EXPECT_THAT(take(text), testing::HasSubstr(entry));
        int first = -1, second = -1;
        EXPECT_EQ(orvalis_journal_settle_once(journal, paid, "first", &first), ORVALIS_OK);
        EXPECT_EQ(orvalis_journal_settle_once(journal, paid, "second", &second), ORVALIS_OK);
        EXPECT_EQ(std::pair(first, second), std::pair(1, 0));
        EXPECT_EQ(orvalis_journal_settle_once(journal, paid + 1000, "none", &first), ORVALIS_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(orvalis_journal_settle(journal, paid, "refunded"), ORVALIS_OK);
        EXPECT_EQ(orvalis_journal_settle(journal, paid + 1000, "none"), ORVALIS_ERROR_INVALID_ARGUMENT);
        ASSERT_EQ(orvalis_journal_unsettled_json(journal, &text), ORVALIS_OK);
        EXPECT_THAT(take(text), testing::Not(testing::HasSubstr(entry)));
        int64_t copied = 0, present = 0;
        EXPECT_EQ(orvalis_journal_copy(journal, copy, &copied, &present), ORVALIS_OK);
        EXPECT_EQ(orvalis_journal_copy(journal, copy, nullptr, &present), ORVALIS_OK);
        EXPECT_TRUE(copied > all && present == copied) << copied << " " << present;
        ASSERT_EQ(orvalis_journal_entry_json(journal, paid, &text), ORVALIS_OK);
        EXPECT_THAT(take(text), testing::HasSubstr("\"unsettled\":false"));
        ASSERT_EQ(orvalis_journal_find_json(copy, "c-face", 0, ORVALIS_JOURNAL_ALL_ENTRIES, 0, &text), ORVALIS_OK);
        EXPECT_THAT(take(text), testing::HasSubstr(R"("settleNote":"refunded")"));
    }
    ASSERT_EQ(orvalis_journal_set_instance(nullptr, 10000), ORVALIS_OK);
    // Refused, and left as it was: an empty file is not made a journal.
    const std::string empty = dir.write("empty.db", "").string();
    orvalis_journal* refused = nullptr;
    const Client made = client("api.example.com", {.journal = empty.c_str(), .journalAll = 1}, ORVALIS_ERROR_JOURNAL);
    EXPECT_THAT(take(orvalis_last_error()), testing::HasSubstr("not an Orvalis journal"));
    EXPECT_EQ(orvalis_journal_open(empty.c_str(), &refused), ORVALIS_ERROR_JOURNAL);
    EXPECT_TRUE(made == nullptr && refused == nullptr && std::filesystem::file_size(empty) == 0);
}
