#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <Printers.h>
#include <TestPki.h>
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "xml_test_util.h"

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

struct Shape {
    const char* name;
    std::string_view xml;
    Options options;
    const char* expected;  // JSON, or "null"
};

class TreeShape : public ::testing::TestWithParam<Shape> {};

TEST_P(TreeShape, BuildsTheExpectedTree) {
    EXPECT_EQ(parse(GetParam().xml, GetParam().options), json(GetParam().expected));
}

// clang-format off
const Shape kShapes[] = {
    {"WrappedEmptyRootVanishes", "<a/>", {.wrap = true}, R"({})"},
    {"FirstOccurrenceKeepsItsForm", "<r><x>1</x><x><y>2</y></x></r>", {}, R"({"__name":"r","x":["1",{"y":"2"}]})"},
    {"StrippedFromArrayLeavesEmptyArray", "<r><x/></r>", {.arrays = true}, R"({"__name":"r","x":[]})"},
    {"EmptyTextMarker", "<r><x/></r>", {.collapse = false, .strip = false}, R"({"__name":"r","x":{"__text":""}})"},
    {"UnknownModeDiscards", "<r><x id='7'>t</x></r>", {.attributes = 42}, R"({"__name":"r","x":"t"})"},
    {"RunsJoinedWhenCollapsed", "<p><r>a<x/>b</r></p>", {}, R"({"__name":"p","r":"a\nb"})"},
    {"SpaceAtOneEndTrimmed", "<r><x>a </x><y> b</y></r>", {}, R"({"__name":"r","x":"a","y":"b"})"},
    {"UnicodeSpacesTrimmedOthersKept", "<r><x>\u00a0\u2003\u3000\u200bv\u00ad\u2029\u0085\u00a0</x></r>", {},
     "{\"__name\":\"r\",\"x\":\"\u200bv\u00ad\"}"},
    {"CommentsDropped", "<p><r>a<!--c-->b</r></p>", {}, R"({"__name":"p","r":"ab"})"},
    {"CommentsInOrder", "<r><!--a--><x/><!--b--></r>", {.comments = true}, R"({"__name":"r","__comments":["a","b"]})"},
    {"CommentBeforeRootDropped", "<!--c--><r/>", {.comments = true}, R"({"__name":"r"})"},
    {"CommentAfterRootGoesToWrapper", "<r>t</r><!--c-->", {.comments = true, .wrap = true},
     R"({"r":"t","__comments":["c"]})"},
    {"AlwaysNames", "<r><x>1</x><y a='1'/><z><w>1</w></z></r>", {.names = 1},
     R"({"__name":"r","x":"1","y":{"__name":"y","_a":"1"},"z":{"__name":"z","w":"1"}})"},
    {"NamesKeepPrefixes", "<a:r xmlns:a='u'><a:x>1</a:x></a:r>", {}, R"({"__name":"a:r","_xmlns:a":"u","a:x":"1"})"},
    {"CutOffInCDATADropsItsText", "<r><a>1</a><b><![CDATA[never closed", {}, R"({"__name":"r","a":"1","b":{}})"},
    {"CutInsideTheRootsStartTag", "<r a='1'", {}, "null"},
    {"NulEndsTheDocument", std::string_view("<r><a>1</a>\0<c>2</c></r>", 24), {}, R"({"__name":"r","a":"1"})"},
    {"EmptyInput", "", {}, "null"}, {"JSONText", R"({"a":1})", {}, "null"}, {"WhiteSpaceOnly", "  \n", {}, "null"}};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Options, TreeShape, ::testing::ValuesIn(kShapes), RowName());

TEST(XMLParser, HandDrivenEventsShowTheirStateIgnoreASecondRootAndClearBetweenDocuments) {
    XMLParser p;
    p.didStartElement("a", {});
    p.didStartElement("b", {});
    p.foundCharacters("x");
    EXPECT_EQ(std::tuple(Value(p.root().value()), p.text(), p.stack().value().size()),
        std::tuple(json(R"({"__name":"a","b":{}})"), "x", 2u));
    p.foundCDATA("\xff\xfe");  // not UTF-8: adds no text
    p.foundCDATA("y");
    p.didEndElement("b");
    p.didEndElement("a");
    p.didStartElement("second", {});
    EXPECT_EQ(Value(p.root().value()), json(R"({"__name":"a","b":"xy"})"));
    ASSERT_TRUE(p.dictionaryWithString("<a><b>cut"));  // a cut-off tree is a row of the shapes above
    EXPECT_FALSE(p.root() || p.stack() || p.text());
    EXPECT_EQ(Value(p.dictionaryWithString("<c>t</c>").value()), json(R"({"__name":"c","__text":"t"})"));
}

// Names too long to sit inline in a key are one string per document, shared by every node: repeats in an
// element wide enough to be indexed must find their first, and the tree must outlive the parser on any thread.
TEST(XMLParser, LongNamesSharedByNodesFindTheirRepeatsAndOutliveTheParser) {
    std::string xml = "<AccountStatementResponse>", expected = R"({"__name":"AccountStatementResponse")";
    for (int i = 0; i < 40; ++i) {
        const std::string name = "TransactionRecordEntry" + std::to_string(i), id = std::to_string(i);
        xml += "<" + name + " transactionIdentifier='" + id + "'/><" + name + ">t</" + name + ">";
        expected += ",\"" + name + R"(":[{"_transactionIdentifier":")" + id + R"("},"t"])";
    }
    Value tree = parse(xml + "</AccountStatementResponse>");
    const Value want = json(expected + "}");
    EXPECT_EQ(tree, want);
    std::vector<std::thread> readers;  // copies read and dropped on other threads while this one drops its own
    for (int t = 0; t < 2; ++t) readers.emplace_back([copy = tree, &want] { EXPECT_EQ(copy, want); });
    tree = Value();
    for (std::thread& r : readers) r.join();
}

TEST(XMLParser, CopiesTakeOptionsOnly) {
    XMLParser p, assigned;
    Options{false, false, false, true, true, true, 1, 1}.applyTo(p);
    p.didStartElement("open", {});
    XMLParser copy(p);
    assigned = p;
    for (XMLParser* q : {&copy, &assigned}) {
        EXPECT_FALSE(q->root() || q->stack());
        EXPECT_EQ(Value(q->dictionaryWithString("<r a='1'><!--c--><x/></r>").value()),
            json(R"({"r":{"__name":"r","__attributes":{"a":"1"},"__comments":["c"],
                           "x":[{"__name":"x","__text":""}]}})"));
    }
}

TEST(XMLParser, NameForNodeFindsNodeByIdentity) {
    Dictionary node{{"k", "v"}}, twin{{"k", "v"}};  // equal content, other object
    Dictionary parent{{"a", Value(twin)}, {"b", Value(Array{Value(twin), Value(node), Value("s")})}};
    EXPECT_EQ(XMLParser::nameForNode(node, parent), Value("b"));
    EXPECT_EQ(XMLParser::nameForNode(node, std::nullopt), Value());
    EXPECT_EQ(XMLParser::nameForNode(Dictionary{{"__name", "n"}}, std::nullopt), Value("n"));
}

TEST(XMLParser, FileEntryPointsHonourTheDeclaredEncoding) {
    TempDir dir;
    auto path = dir.write("d.xml", "<?xml version='1.0' encoding='ISO-8859-1'?><r><x>caf\xe9</x></r>").string();
    EXPECT_EQ(Value(XMLParser().dictionaryWithFile(path).value()), json("{\"__name\":\"r\",\"x\":\"caf\u00e9\"}"));
    EXPECT_FALSE(XMLParser().dictionaryWithFile(path + ".missing"));
}

// The XMLTree entry points read with the shared instance's options, each call
// with one whole set of them while another thread keeps assigning new ones.
TEST(XMLParser, SharedOptionsReachEntryPointsWholeWhileThreadsConvert) {
    XMLParser& shared = XMLParser::sharedInstance();
    const XMLParser defaults(shared);
    XMLParser other;
    Options{.wrap = true, .attributes = static_cast<std::int64_t>(AttributesMode::Unprefixed)}.applyTo(other);
    std::atomic<int> sawOther{0};       // bit 0: by string, bit 1: by data
    std::vector<std::string> wrong(4);  // a tree that came out otherwise, per thread
    std::atomic<bool> switching{true};  // the threads convert until the options stop changing
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong, &sawOther, &switching] {
            for (int i = 0; switching; ++i) {
                std::string n = std::to_string(i), xml = "<d><i id='" + n + "'>" + n + "</i><i>x</i></d>";
                auto d = i % 2 ? XMLTree::dictionaryWithXMLString(xml) : XMLTree::dictionaryWithXMLData(xml);
                Value a = json(R"({"__name":"d","i":[{"_id":")" + n + R"(","__text":")" + n + R"("},"x"]})"),
                      b = json(R"({"d":{"__name":"d","i":[{"id":")" + n + R"(","__text":")" + n + R"("},"x"]}})");
                if (d && Value(*d) == b) sawOther |= 1 << (i % 2 ? 0 : 1);
                if (!d || (Value(*d) != a && Value(*d) != b)) wrong[t] = d ? d->description() : "none";
            }
        });
    // At least 2,000 switches, and on until both entry points met the other options (a busy machine may run the
    // threads late): a bounded wait.
    for (int i = 0; i < 2000 || (sawOther != 3 && i < 2'000'000); ++i) shared = (i % 2) ? other : defaults;
    switching = false;
    for (auto& th : threads) th.join();
    shared = defaults;
    EXPECT_EQ(wrong, std::vector<std::string>(4));
    EXPECT_EQ(sawOther, 3);
}

// Reads its state after each event, which makes every open element a node at
// once: the tree must not depend on when elements become nodes.
class Inspecting : public XMLParser {
public:
    void didStartElement(std::string_view n, std::span<const XMLAttribute> a) override {
        XMLParser::didStartElement(n, a), look();
    }
    void didEndElement(std::string_view n) override { XMLParser::didEndElement(n), look(); }
    void foundCharacters(std::string_view c) override { XMLParser::foundCharacters(c), look(); }
    void foundCDATA(std::string_view b) override { XMLParser::foundCDATA(b), look(); }
    void foundComment(std::string_view c) override { XMLParser::foundComment(c), look(); }

private:
    void look() { (void)root(), (void)stack(); }
};

TEST(XMLParser, TreeDoesNotDependOnWhenElementsBecomeNodes) {
    std::mt19937 rng(7);
    auto pick = [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng); };
    const char* const pieces[] = {"<a>", "<b id='1'>", "<c _name='n'>", "<__text>", "<_u>", "t", " ", "\n  ", "x y",
        "&amp;", "<!--c-->", "<![CDATA[d]]>", "</>"};
    for (int round = 0; round < 400; ++round) {
        std::string doc = "<r>";
        std::vector<std::string> open{"r"};
        for (int i = 0, n = 5 + static_cast<int>(pick(30)); i < n; ++i) {
            std::string piece = pieces[pick(13)];
            if (piece == "</>") {
                if (open.size() > 1) doc += "</" + open.back() + ">", open.pop_back();
            } else {
                if (piece[0] == '<' && piece[1] != '!') open.push_back(piece.substr(1, piece.find_first_of(" >") - 1));
                doc += piece;
            }
        }
        if (pick(4) != 0)  // otherwise leave it cut off
            for (; !open.empty(); open.pop_back()) doc += "</" + open.back() + ">";
        unsigned bits = rng();
        Options options{bool(bits & 1), bool(bits & 2), bool(bits & 4), bool(bits & 8), bool(bits & 16),
            bool(bits & 32), (bits >> 6) % 4, (bits >> 8) % 3};
        Inspecting inspected;
        options.applyTo(inspected);
        XMLEventSource(doc).parse(inspected);
        ASSERT_EQ(inspected.root() ? Value(*inspected.root()) : Value(), parse(doc, options)) << doc << " " << bits;
    }
}

}  // namespace
