// Answers as hosts receive them: memory bounded for any shape, malformed XML
// refused, and the XML converter's error report.
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Utils/XMLTree.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <tuple>

using namespace orvalis;
using orvalis::testsupport::RowName;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ANSWERS_NO_MALLOC_COUNT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ANSWERS_NO_MALLOC_COUNT 1
#endif
#endif

namespace {
std::atomic<long long> gLive{0}, gPeak{0};
[[maybe_unused]] void note(long long delta) {
    for (long long now = gLive += delta, peak = gPeak; now > peak && !gPeak.compare_exchange_weak(peak, now);) {
    }
}
[[maybe_unused]] long long usable(void* p) { return p ? static_cast<long long>(malloc_usable_size(p)) : 0; }
[[maybe_unused]] void* counted(void* p) { return note(usable(p)), p; }
}  // namespace

#ifndef ANSWERS_NO_MALLOC_COUNT
// Every malloc of the program is counted, so the peak of live heap bytes
// during one decoding can be read back.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* malloc(size_t n) { return counted(__libc_malloc(n)); }
void* calloc(size_t n, size_t m) { return counted(__libc_calloc(n, m)); }
void* realloc(void* old, size_t n) {
    long long before = usable(old);
    void* p = __libc_realloc(old, n);
    if (p || n == 0) note(usable(p) - before);
    return p;
}
void free(void* p) { note(-usable(p)), __libc_free(p); }
}
#endif

namespace {

std::string repeat(std::string_view head, std::string_view item, std::size_t n, std::string_view tail) {
    std::string s(head);
    for (std::size_t i = 0; i < n; ++i) s += item;
    return s += tail;
}

// Runs the completion steps on body: 0 when delivered, else the code of the
// failure (-2 for a failure of another domain).
std::int64_t complete(const std::string& body) {
    std::int64_t code = -1;
    detail::runCompletionSteps(
        body, std::nullopt, [&](Dictionary) { code = 0; },
        [&](Error e) { code = e.domain() == kZRBNetworkErrorDomain ? e.code() : -2; });
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
    RowName());

TEST(AnswerBound, SmallAnswersOfAnyShapeAreDeliveredWholeAndOnlyWellFormedXML) {
    setLogHandler(LogHandler());
    EXPECT_EQ(complete(repeat("{\"a\":[{\"a\":1}", ",{\"a\":1}", 10'000, "]}")), 0);
    EXPECT_EQ(complete(repeat("", "<a>", 512, "x") + repeat("", "</a>", 512, "")), 0);
    EXPECT_EQ(complete(repeat("", "<a>", 513, "x") + repeat("", "</a>", 513, "")), kZRBNetworkAnswerTooLargeErrorCode);
    EXPECT_EQ(complete("<a><b>1</b><c>2</c"), kZRBNetworkErrorCode);  // cut short
    EXPECT_EQ(complete("<html><head><meta charset=\"utf-8\"><title>502</title></head><body><b>1</b></body></html>"),
              kZRBNetworkErrorCode);  // a gateway's error page
}

TEST(XMLErrors, HostsLearnWhereADocumentBrokeAndKeepThePartialTree) {
    std::optional<XMLParseError> error;
    auto tree = XMLTree::dictionaryWithXMLString("<a>\n<b>1</b>\n<c>2</d></a>", error);
    ASSERT_TRUE(tree && error);
    EXPECT_EQ(tree->objectForKey("b").description(), "1");
    EXPECT_EQ(std::tuple(error->code, error->line, error->column, error->message),
              std::tuple(7, 3, 6, "mismatched tag"));  // code 7: mismatched tag
    EXPECT_TRUE(XMLTree::dictionaryWithXMLData("<a><b>1</b></a>", error));
    EXPECT_FALSE(error);
}

}  // namespace
