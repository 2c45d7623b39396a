// Answers as hosts receive them: the densest shapes delivered or refused as
// too large, malformed XML refused, and the XML converter's error report.
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Formats/ParseResult.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Utils/XMLTree.h>
#include <Printers.h>
#include <WideAnswer.h>
#include <gtest/gtest.h>

#include <tuple>

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

std::string repeat(std::string_view head, std::string_view item, std::size_t n, std::string_view tail) {
    std::string s(head);
    for (std::size_t i = 0; i < n; ++i) s += item;
    return s += tail;
}
std::string nested(std::size_t depth) { return repeat("", "<a>", depth, "x") + repeat("", "</a>", depth, ""); }

struct Answer {
    const char* name;
    std::string (*body)();
    std::int64_t code;  // 0: delivered
};

class Answers : public ::testing::TestWithParam<Answer> {};

// The memory each shape takes is measured by bench/answers; here, which are delivered.
TEST_P(Answers, AreDeliveredWholeOrFailWithTheDocumentedError) {
    setLogHandler(LogHandler());
    // The completion steps run on the body: 0 when delivered, else the code of the
    // failure (-2 for a failure of another domain).
    std::int64_t code = -1;
    detail::runCompletionSteps(
        GetParam().body(), std::nullopt, [&](Dictionary) { code = 0; },
        [&](Error e) { code = e.domain() == kZRBNetworkErrorDomain ? e.code() : -2; });
    EXPECT_EQ(code, GetParam().code);
}

constexpr std::int64_t kTooLarge = kZRBNetworkAnswerTooLargeErrorCode;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Shapes, Answers, ::testing::Values(
    Answer{"FourMillionEmptyObjects", [] { return repeat("{\"a\":[{}", ",{}", 3'999'999, "]}"); }, 0},
    Answer{"SmallNestedElements", [] { return repeat("<r>", "<e><f>1</f></e>", 1'048'576, "</r>"); }, 0},
    Answer{"OneKeyObjectsBeyondTheBound", [] { return repeat("{\"a\":[{\"a\":1}", ",{\"a\":1}", 1'500'000, "]}"); },
        kTooLarge},
    Answer{"SmallOneKeyObjects", [] { return repeat("{\"a\":[{\"a\":1}", ",{\"a\":1}", 10'000, "]}"); }, 0},
    Answer{"HundredThousandShortMembers", [] { return wideAnswer(100'000); }, 0},
    // Read twice (the second reader keeps numbers past the double range): the first reading is not charged.
    Answer{"HundredThousandShortMembersAndANumberPastTheDoubleRange",
        [] { return wideAnswer(100'000, "\"far\":1e400"); }, 0},
    Answer{"DeepestXML", [] { return nested(512); }, 0},
    Answer{"XMLOneTooDeep", [] { return nested(513); }, kTooLarge},
    // Not well-formed (an HTML error page is no more): nothing of the tree read so far is delivered.
    Answer{"XMLCutShort", [] { return std::string("<a><b>1</b><c>2</c"); }, kZRBNetworkErrorCode}),
    RowName());
// clang-format on

// Each reader says why it refused and where (line, column, byte offset), with
// its own code where it has one; XML keeps the tree built before the error.
enum class Reader { JSON, XML, XMLFile };
struct Refusal {
    std::string name;
    Reader reader;
    std::string text;
    ParseStatus status;
    std::int64_t line, column;
    std::uint64_t offset;
    int readerCode;
    std::string description, tree;  // tree: what was built, "" for nothing
};
class ParseRefusals : public testing::TestWithParam<Refusal> {};

TEST_P(ParseRefusals, SayWhyAndWhere) {
    const Refusal& row = GetParam();
    ParseResult r;
    std::string tree;
    auto take = [&](const auto& read) { r = read.result, tree = read.value ? read.value->description() : ""; };
    if (row.reader == Reader::JSON) take(JSONSerialization::JSONObjectWithData(row.text));
    if (row.reader == Reader::XML) take(XMLTree::parseXMLString(row.text));
    if (row.reader == Reader::XMLFile) take(XMLTree::parseXMLFile(row.text));
    EXPECT_EQ(std::tuple(toString(r.status), r.line, r.column, r.offset, r.readerCode, r.description, tree),
        std::tuple(toString(row.status), row.line, row.column, row.offset, row.readerCode, row.description, row.tree))
        << r.message();
}

const std::string kDeep = std::string(513, '[') + std::string(513, ']');
INSTANTIATE_TEST_SUITE_P(Readers, ParseRefusals,
    testing::Values(Refusal{"JSONWhole", Reader::JSON, "{\"a\":[1]}", ParseStatus::Ok, 0, 0, 0, 0, "", "{\"a\":[1]}"},
        Refusal{"JSONMissingComma", Reader::JSON, "{\"a\":1\n \"b\":2}", ParseStatus::Malformed, 2, 1, 8, 6,
            "Missing a comma or '}' after an object member", ""},
        Refusal{"JSONEmpty", Reader::JSON, " \n", ParseStatus::Empty, 2, 0, 2, 1, "The document is empty", ""},
        Refusal{"JSONBadUTF8", Reader::JSON, "[\"\xff\"]", ParseStatus::InvalidEncoding, 1, 2, 2, 12,
            "Invalid encoding in string", ""},
        Refusal{"JSONLoneSurrogate", Reader::JSON, "[\"\\udc00\"]", ParseStatus::InvalidEncoding, 1, 9, 9, 0,
            "a string holding a lone surrogate escape", ""},
        Refusal{"JSONScalarTop", Reader::JSON, "42", ParseStatus::NotAContainer, 1, 0, 0, 0,
            "the top level is not an object or an array", ""},
        Refusal{"JSONNulAfter", Reader::JSON, std::string("[1]\0", 4), ParseStatus::TrailingData, 1, 3, 3, 0,
            "more than white space after the document", ""},
        Refusal{"JSONTooDeep", Reader::JSON, kDeep, ParseStatus::TooDeep, 1, 512, 512, 0,
            "containers nested deeper than 512", ""},
        Refusal{"JSONWideNumberThenNul", Reader::JSON, std::string("[1e999]\0", 8), ParseStatus::TrailingData, 1, 7, 7,
            0, "more than white space after the document", ""},
        Refusal{"JSONWideNumberThenJunk", Reader::JSON, "[1e999,\n x]", ParseStatus::Malformed, 2, 1, 9, 0,
            "syntax error while parsing value - invalid literal; last read: '1e999,<U+000A> x'", ""},
        Refusal{"XMLMismatchedTag", Reader::XML, "<a>\n<b>1</b>\n<c>2</d></a>", ParseStatus::Malformed, 3, 6, 19, 7,
            "mismatched tag", "{\"__name\":\"a\",\"b\":\"1\",\"c\":{}}"},
        Refusal{"XMLEmpty", Reader::XML, "", ParseStatus::Empty, 1, 0, 0, 3, "no element found", ""},
        Refusal{"XMLSecondRoot", Reader::XML, "<a>1</a><b/>", ParseStatus::TrailingData, 1, 8, 8, 9,
            "junk after document element", "{\"__name\":\"a\",\"__text\":\"1\"}"},
        Refusal{"XMLFileMissing", Reader::XMLFile, "no/such/file.xml", ParseStatus::Unreadable, 0, 0, 0, 0,
            "cannot read the file", ""}),
    RowName());

}  // namespace
