// Answers as hosts receive them: memory bounded for any shape, malformed XML
// refused, numbers kept digit for digit, every JSON encoding read, and the
// XML converter's error report and shared options.
#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/ServiceInfrastructure/ZRBOrvalis.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <SandboxWorld.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace orvalis;
using namespace orvalis::testsupport;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ANSWERS_NO_MALLOC_COUNT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ANSWERS_NO_MALLOC_COUNT 1
#endif
#endif

namespace {
std::atomic<long long> gLive{0}, gPeak{0};
}  // namespace

#ifndef ANSWERS_NO_MALLOC_COUNT
namespace {
void note(long long delta) {
    long long now = gLive.fetch_add(delta, std::memory_order_relaxed) + delta;
    long long peak = gPeak.load(std::memory_order_relaxed);
    while (now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}
long long usable(void* p) { return p ? static_cast<long long>(malloc_usable_size(p)) : 0; }
}  // namespace

// Every malloc of the program is counted, so the peak of live heap bytes
// during one decoding can be read back.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* malloc(size_t n) {
    void* p = __libc_malloc(n);
    note(usable(p));
    return p;
}
void* calloc(size_t n, size_t m) {
    void* p = __libc_calloc(n, m);
    note(usable(p));
    return p;
}
void* realloc(void* old, size_t n) {
    long long before = usable(old);
    void* p = __libc_realloc(old, n);
    if (p || n == 0) note(usable(p) - before);
    return p;
}
void free(void* p) {
    note(-usable(p));
    __libc_free(p);
}
}
#endif

namespace {

std::string repeat(std::string_view head, std::string_view item, std::size_t n, std::string_view tail) {
    std::string s(head);
    for (std::size_t i = 0; i < n; ++i) s += item;
    return s += tail;
}

// Runs the completion steps on body; the code of the failure, or 0 for success.
std::int64_t complete(const std::string& body) {
    std::int64_t code = -1;
    detail::runCompletionSteps(body, std::nullopt, [&](Dictionary) { code = 0; }, [&](Error e) { code = e.code(); });
    return code;
}

struct Dense {
    const char* name;
    std::string (*body)();
    std::int64_t code;  // 0: delivered
};

class DenseAnswers : public ::testing::TestWithParam<Dense> {};

TEST_P(DenseAnswers, StayWithinEightTimesTheirSizeOrFailWithTheDocumentedError) {
#ifdef ANSWERS_NO_MALLOC_COUNT
    GTEST_SKIP() << "memory is not counted under a sanitizer";
#endif
    setLogHandler(LogHandler());  // a logged body would be counted too
    const std::string body = GetParam().body();
    const long long start = gLive.load();
    gPeak.store(start);
    EXPECT_EQ(complete(body), GetParam().code);
    const double ratio = static_cast<double>(gPeak.load() - start) / static_cast<double>(body.size());
    EXPECT_LE(ratio, 8.0) << body.size() << " bytes";
    EXPECT_GT(ratio, 0.0) << "nothing counted: the malloc hook is not in use";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, DenseAnswers,
    ::testing::Values(
        Dense{"FourMillionEmptyObjects", [] { return repeat("{\"a\":[{}", ",{}", 3'999'999, "]}"); }, 0},
        Dense{"SmallNestedElements", [] { return repeat("<r>", "<e><f>1</f></e>", 1'048'576, "</r>"); }, 0},
        Dense{"TwoMillionNestedElements",
              [] { return repeat("", "<a>", 2'000'000, "") + repeat("", "</a>", 2'000'000, ""); },
              kZRBNetworkAnswerTooLargeErrorCode},
        Dense{"OneKeyObjectsBeyondTheBound", [] { return repeat("{\"a\":[{\"a\":1}", ",{\"a\":1}", 1'500'000, "]}"); },
              kZRBNetworkAnswerTooLargeErrorCode}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AnswerBound, SmallAnswersOfAnyShapeAreDeliveredWhole) {
    setLogHandler(LogHandler());
    EXPECT_EQ(complete(repeat("{\"a\":[{\"a\":1}", ",{\"a\":1}", 10'000, "]}")), 0);
    EXPECT_EQ(complete(repeat("", "<a>", 512, "x") + repeat("", "</a>", 512, "")), 0);
    EXPECT_EQ(complete(repeat("", "<a>", 513, "x") + repeat("", "</a>", 513, "")), kZRBNetworkAnswerTooLargeErrorCode);
}

// Answers from the sandbox through a real operation.
struct Served {
    const char* name;
    int status;
    const char* body;
    std::int64_t code;
};

class ServedAnswers : public ::testing::TestWithParam<Served> {};

TEST_P(ServedAnswers, OnlyWellFormedXMLIsDelivered) {
    sandbox::Fault fault;
    fault.kind = sandbox::Fault::Kind::Body;
    fault.status = GetParam().status;
    fault.body = GetParam().body;
    sandboxWorld().server->setFault("pairingid", fault);
    auto request = credentialed<ZRBPairingIDServiceRequest>();
    request.setPairingTransactionId("t");
    request.setUserId("u");
    Outcomes out;
    ZRBOrvalis().getPairingIDService(request, out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(1));
    sandboxWorld().server->setFault("pairingid", sandbox::Fault{});
    auto got = out.all();
    ASSERT_EQ(got.size(), 1u);
    if (GetParam().code == 0) {
        ASSERT_TRUE(got[0].success) << got[0].describe();
        EXPECT_EQ(got[0].success->objectForKey("b").description(), "1");
        return;
    }
    ASSERT_TRUE(got[0].failure) << got[0].describe();
    EXPECT_EQ(got[0].failure->domain(), kZRBNetworkErrorDomain);
    EXPECT_EQ(got[0].failure->code(), GetParam().code);
    EXPECT_EQ(got[0].failure->localizedDescription(), "Server Error");
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ServedAnswers,
    ::testing::Values(Served{"WholeDocument", 200, "<a><b>1</b></a>", 0},
                      Served{"CutShort", 200, "<a><b>1</b><c>2</c", kZRBNetworkErrorCode},
                      Served{"GatewayPage", 502,
                             "<html><head><meta charset=\"utf-8\"><title>502</title></head>"
                             "<body><b>1</b></body></html>",
                             kZRBNetworkErrorCode}),
    [](const auto& info) { return std::string(info.param.name); });

struct Number {
    const char* name;
    const char* text;
    bool kept;  // whether the text is kept beside the double
};

class Numbers : public ::testing::TestWithParam<Number> {};

TEST_P(Numbers, KeepEveryDigitADoubleCannotHold) {
    const std::string text = GetParam().text;
    auto json = JSONSerialization::JSONObjectWithData("[" + text + "]");
    ASSERT_TRUE(json);
    Value n = json->asArray()[0];
    ASSERT_TRUE(n.isNumber());
    const double nearest = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(n.asDouble(), nearest);
    const std::string written = JSONSerialization::dataWithJSONObject(*json, false);
    if (GetParam().kept) {
        EXPECT_EQ(n.numberText(), text);
        EXPECT_EQ(n.description(), text);
        EXPECT_EQ(written, "[" + text + "]");
    } else {
        EXPECT_NE(n.numberText(), text);
    }
    if (nearest >= 9.3e18) {
        EXPECT_EQ(n.asInteger(), INT64_MAX);  // saturates, never undefined
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Numbers,
    ::testing::Values(Number{"FortyDigits", "123456789012345678901234567890123456789", true},
                      Number{"NegativeBeyondInt64", "-9223372036854775809", true},
                      Number{"LongFraction", "3.14159265358979323846264338", true},
                      Number{"BelowTheSmallestDouble", "1e-400", true},
                      Number{"ExactPowerOfTen", "100000000000000000000", false},
                      Number{"TrailingZeros", "1.50", false}),
    [](const auto& info) { return std::string(info.param.name); });

// {"k":"é€😀"} in UTF-16 or UTF-32, either byte order, with or without a mark.
std::string encoded(int unit, bool big, bool mark) {
    const char32_t text[] = U"{\"k\":\"\u00e9\u20ac\U0001F600\"}";
    std::string out;
    auto put = [&](char32_t u) {
        for (int i = 0; i < unit; ++i) {
            int shift = 8 * (big ? unit - 1 - i : i);
            out += static_cast<char>((u >> shift) & 0xFF);
        }
    };
    if (mark) put(0xFEFF);
    for (char32_t c : std::u32string_view(text)) {
        if (unit == 2 && c > 0xFFFF) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

struct Encoding {
    const char* name;
    std::string bytes;
};

class Encodings : public ::testing::TestWithParam<Encoding> {};

TEST_P(Encodings, ReadAsTheSameDocument) {
    auto json = JSONSerialization::JSONObjectWithData(GetParam().bytes);
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["k"].asString(), "\u00e9\u20ac\U0001F600");
}

INSTANTIATE_TEST_SUITE_P(Marks, Encodings,
                         ::testing::Values(Encoding{"Utf8Mark", "\xEF\xBB\xBF{\"k\":\"\u00e9\u20ac\U0001F600\"}"},
                                           Encoding{"Utf16LE", encoded(2, false, false)},
                                           Encoding{"Utf16BE", encoded(2, true, false)},
                                           Encoding{"Utf16LEMark", encoded(2, false, true)},
                                           Encoding{"Utf16BEMark", encoded(2, true, true)},
                                           Encoding{"Utf32LE", encoded(4, false, false)},
                                           Encoding{"Utf32BE", encoded(4, true, false)},
                                           Encoding{"Utf32BEMark", encoded(4, true, true)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Encodings, BrokenUtf16IsNotJson) {
    std::string lone = encoded(2, false, false);
    lone.replace(lone.size() - 6, 2, "A\0", 2);  // the surrogate pair loses its low half
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(lone));
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(encoded(2, false, false).substr(1)));
}

TEST(XMLErrors, HostsLearnWhereADocumentBrokeAndKeepThePartialTree) {
    std::optional<XMLParseError> error;
    auto tree = XMLTree::dictionaryWithXMLString("<a>\n<b>1</b>\n<c>2</d></a>", error);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->objectForKey("b").description(), "1");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 7);  // mismatched tag
    EXPECT_EQ(error->line, 3);
    EXPECT_EQ(error->column, 6);
    EXPECT_EQ(error->message, "mismatched tag");
    tree = XMLTree::dictionaryWithXMLData("<a><b>1</b></a>", error);
    EXPECT_TRUE(tree);
    EXPECT_FALSE(error);
}

TEST(SharedOptions, ChangeWholeWhileOtherThreadsConvert) {
    XMLParser& shared = XMLParser::sharedInstance();
    const XMLParser defaults(shared);
    XMLParser other;
    other.setWrapRootNode(true);
    other.setCollapseTextNodes(false);
    const std::string doc = "<a><b>1</b></a>";
    XMLParser a(defaults), b(other);
    const Dictionary shapeA = *a.dictionaryWithString(doc), shapeB = *b.dictionaryWithString(doc);
    ASSERT_NE(shapeA, shapeB);
    std::atomic<int> mixed{0};
    auto convert = [&] {
        for (int i = 0; i < 2000; ++i) {
            auto tree = XMLTree::dictionaryWithXMLString(doc);
            if (!tree || (*tree != shapeA && *tree != shapeB)) ++mixed;
        }
    };
    std::thread r1(convert), r2(convert);
    for (int i = 0; i < 2000; ++i) shared = (i % 2) ? defaults : other;
    r1.join();
    r2.join();
    shared = defaults;
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_FALSE(shared.wrapRootNode());
}

}  // namespace
