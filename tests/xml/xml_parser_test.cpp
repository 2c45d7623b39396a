#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "xml_test_util.h"

using namespace orvalis;
using orvalis::testing::json;

namespace {

using Configure = std::function<void(XMLParser&)>;

Value parse(std::string_view xml, const Configure& configure = {}) {
    XMLParser p;
    if (configure) configure(p);
    auto d = p.dictionaryWithString(xml);
    return d ? Value(*d) : Value();
}

struct Case {
    const char* name;
    const char* xml;
    Configure configure;
    const char* expected;  // JSON, or "null"
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class TreeShape : public ::testing::TestWithParam<Case> {};

TEST_P(TreeShape, BuildsTheExpectedTree) {
    const Case& c = GetParam();
    Value got = parse(c.xml, c.configure);
    if (std::string_view(c.expected) == "null") {
        EXPECT_TRUE(got.isNull()) << got.description();
    } else {
        EXPECT_EQ(got, json(c.expected)) << got.description();
    }
}

const Configure wrap = [](XMLParser& p) { p.setWrapRootNode(true); };
const Configure arrays = [](XMLParser& p) { p.setAlwaysUseArrays(true); };
const Configure keepEmpty = [](XMLParser& p) { p.setStripEmptyNodes(false); };
const Configure keepAll = [](XMLParser& p) {
    p.setStripEmptyNodes(false);
    p.setCollapseTextNodes(false);
};
const Configure noTrim = [](XMLParser& p) { p.setTrimWhiteSpace(false); };
const Configure comments = [](XMLParser& p) { p.setPreserveComments(true); };
Configure attributes(AttributesMode m) {
    return [m](XMLParser& p) { p.setAttributesMode(m); };
}
Configure names(std::int64_t m) {
    return [m](XMLParser& p) { p.setNodeNameMode(m); };
}

INSTANTIATE_TEST_SUITE_P(
    Options, TreeShape,
    ::testing::Values(
        Case{"RootDoesNotCollapse", "<a>hello</a>", {}, R"({"__name":"a","__text":"hello"})"},
        Case{"WrappedRootCollapses", "<a>hello</a>", wrap, R"({"a":"hello"})"},
        Case{"WrappedEmptyRootVanishes", "<a/>", wrap, R"({})"},
        Case{"RepeatedNamesBecomeArray", "<r><x>1</x><x>2</x></r>", {}, R"({"__name":"r","x":["1","2"]})"},
        Case{"AlwaysArrays", "<r><x>1</x></r>", arrays, R"({"__name":"r","x":["1"]})"},
        Case{"FirstOccurrenceKeepsItsForm",
             "<r><x>1</x><x><y>2</y></x></r>",
             {},
             R"({"__name":"r","x":["1",{"y":"2"}]})"},
        Case{"EmptyChildStripped", "<r><x/></r>", {}, R"({"__name":"r"})"},
        Case{"StrippedFromArrayLeavesEmptyArray", "<r><x/></r>", arrays, R"({"__name":"r","x":[]})"},
        Case{"EmptyChildKept", "<r><x/></r>", keepEmpty, R"({"__name":"r","x":{}})"},
        Case{"EmptyTextMarker", "<r><x/></r>", keepAll, R"({"__name":"r","x":{"__text":""}})"},
        Case{"PrefixedAttributes", "<r><x id='7'>t</x></r>", {}, R"({"__name":"r","x":{"_id":"7","__text":"t"}})"},
        Case{"GroupedAttributes", "<r><x id='7'>t</x></r>", attributes(AttributesMode::Grouped),
             R"({"__name":"r","x":{"__attributes":{"id":"7"},"__text":"t"}})"},
        Case{"UnprefixedAttributes", "<r><x id='7'>t</x></r>", attributes(AttributesMode::Unprefixed),
             R"({"__name":"r","x":{"id":"7","__text":"t"}})"},
        Case{"DiscardedAttributes", "<r><x id='7'>t</x></r>", attributes(AttributesMode::Discard),
             R"({"__name":"r","x":"t"})"},
        Case{"UnknownModeDiscards", "<r><x id='7'>t</x></r>", [](XMLParser& p) { p.setAttributesMode(42); },
             R"({"__name":"r","x":"t"})"},
        Case{"UnprefixedAttributeMeetsChild", "<r x='1'><x>2</x></r>", attributes(AttributesMode::Unprefixed),
             R"({"__name":"r","x":["1","2"]})"},
        Case{"RunsJoinedWhenCollapsed", "<p><r>a<x/>b</r></p>", {}, R"({"__name":"p","r":"a\nb"})"},
        Case{"RootKeepsRunsAsArray", "<r>a<x/>b</r>", {}, R"({"__name":"r","__text":["a","b"]})"},
        Case{"UntrimmedWhiteSpaceRuns", "<r>\n<x>1</x>\n</r>", noTrim,
             R"({"__name":"r","__text":["\n","\n"],"x":"1"})"},
        Case{"TrimmedWhiteSpaceVanishes", "<r>\n  <x> 1\t</x>\n</r>", {}, R"({"__name":"r","x":"1"})"},
        Case{"UnicodeSpacesTrimmed",
             "<r><x>\u00a0\u2003\u3000v\u2029\u0085\u00a0</x></r>",
             {},
             R"({"__name":"r","x":"v"})"},
        Case{"NonSpacesKept", "<r><x>\u200bv\u00ad</x></r>", {}, "{\"__name\":\"r\",\"x\":\"\u200bv\u00ad\"}"},
        Case{"CommentDoesNotSplitRun", "<p><r>a<!--c-->b</r></p>", {}, R"({"__name":"p","r":"ab"})"},
        Case{"CommentKeepsNode", "<p><r><!--c--></r></p>", comments, R"({"__name":"p","r":{"__comments":["c"]}})"},
        Case{"CommentsInOrder", "<r><!--a--><x/><!--b--></r>", comments, R"({"__name":"r","__comments":["a","b"]})"},
        Case{"CommentBeforeRootDropped", "<!--c--><r/>", comments, R"({"__name":"r"})"},
        Case{"CommentAfterRootGoesToWrapper", "<r>t</r><!--c-->",
             [](XMLParser& p) {
                 p.setWrapRootNode(true);
                 p.setPreserveComments(true);
             },
             R"({"r":"t","__comments":["c"]})"},
        Case{"CDATAIsText", "<r><x><![CDATA[<x>]]></x></r>", {}, R"({"__name":"r","x":"<x>"})"},
        Case{"EntitiesDecoded",
             "<r><x a='&quot;&amp;'>&lt;&#233;&#x1F600;</x></r>",
             {},
             "{\"__name\":\"r\",\"x\":{\"_a\":\"\\\"&\",\"__text\":\"<\u00e9\U0001F600\"}}"},
        Case{"AlwaysNamesStillCollapse", "<r><x>1</x><y a='1'/></r>", names(1),
             R"({"__name":"r","x":"1","y":{"__name":"y","_a":"1"}})"},
        Case{"NeverNames", "<r><x>1</x></r>", names(2), R"({"x":"1"})"},
        Case{"NamesKeepPrefixes",
             "<a:r xmlns:a='u'><a:x>1</a:x></a:r>",
             {},
             R"({"__name":"a:r","_xmlns:a":"u","a:x":"1"})"},
        Case{"CutOffKeepsOpenNodesAsTheyAre", "<a><b>x", {}, R"({"__name":"a","b":{}})"},
        Case{"MalformedKeepsEarlierEvents", "<r><x>1</x><y>2</z></r>", {}, R"({"__name":"r","x":"1","y":{}})"},
        Case{"SecondRootStops", "<r>1</r><s>2</s>", {}, R"({"__name":"r","__text":"1"})"},
        Case{"EmptyInput", "", {}, "null"}, Case{"JSONText", R"({"a":1})", {}, "null"},
        Case{"WhiteSpaceOnly", "  \n", {}, "null"}));

// The last table entry above passes a C string: the NUL case needs its bytes.
TEST(XMLParser, NulByteStopsAfterEarlierEvents) {
    const char doc[] = "<r><x>1</x>\0<y/></r>";
    XMLParser p;
    auto d = p.dictionaryWithData(std::string_view(doc, sizeof doc - 1));
    ASSERT_TRUE(d);
    EXPECT_EQ(Value(*d), json(R"({"__name":"r","x":"1"})")) << d->description();
}

TEST(XMLParser, HandDrivenEventsThatStopEarly) {
    XMLParser p;
    p.didStartElement("a", {});
    p.didStartElement("b", {});
    p.foundCharacters("x");
    ASSERT_TRUE(p.root());
    EXPECT_EQ(Value(*p.root()), json(R"({"__name":"a","b":{}})"));
    ASSERT_TRUE(p.text());
    EXPECT_EQ(*p.text(), "x");
    ASSERT_TRUE(p.stack());
    EXPECT_EQ(p.stack()->size(), 2u);
}

TEST(XMLParser, InvalidUTF8CDATAAddsNoText) {
    XMLParser p;
    p.didStartElement("r", {});
    p.didStartElement("x", {});
    p.foundCDATA("\xff\xfe");
    p.foundCDATA("ok");
    p.didEndElement("x");
    p.didEndElement("r");
    EXPECT_EQ(Value(*p.root()), json(R"({"__name":"r","x":"ok"})"));
}

TEST(XMLParser, StateIsClearedBetweenDocuments) {
    XMLParser p;
    auto first = p.dictionaryWithString("<a><b>cut");
    EXPECT_FALSE(p.root());
    EXPECT_FALSE(p.stack());
    EXPECT_FALSE(p.text());
    auto second = p.dictionaryWithString("<c>t</c>");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(Value(*first), json(R"({"__name":"a","b":{}})"));
    EXPECT_EQ(Value(*second), json(R"({"__name":"c","__text":"t"})"));
}

TEST(XMLParser, RepeatedChildrenShareNoNode) {
    // Changing one element of a repeated name must not show in another, and
    // the tree must hold no reference back to the parser.
    XMLParser p;
    auto d = p.dictionaryWithString("<r><x a='1'/><x a='2'/></r>");
    ASSERT_TRUE(d);
    Array xs = d->find("x")->asArray();
    ASSERT_EQ(xs.size(), 2u);
    xs[0].asDictionary().set("_a", "changed");
    EXPECT_EQ(xs[1]["_a"].asString(), "2");
}

TEST(XMLParser, CopiesTakeOptionsOnly) {
    XMLParser p;
    p.setCollapseTextNodes(false);
    p.setStripEmptyNodes(false);
    p.setTrimWhiteSpace(false);
    p.setAlwaysUseArrays(true);
    p.setPreserveComments(true);
    p.setWrapRootNode(true);
    p.setAttributesMode(AttributesMode::Grouped);
    p.setNodeNameMode(NodeNameMode::Always);
    p.didStartElement("open", {});
    XMLParser copy(p);
    EXPECT_FALSE(copy.root());
    EXPECT_FALSE(copy.stack());
    auto a = copy.dictionaryWithString("<r a='1'><!--c--><x/></r>");
    ASSERT_TRUE(a);
    EXPECT_EQ(Value(*a), json(R"({"r":{"__name":"r","__attributes":{"a":"1"},"__comments":["c"],
                                      "x":[{"__name":"x","__text":""}]}})"));
}

TEST(XMLParser, NameForNodeFindsNodeByIdentity) {
    Dictionary node{{"k", "v"}};
    Dictionary twin{{"k", "v"}};  // equal content, other object
    Dictionary parent{{"a", Value(twin)}, {"b", Value(Array{Value(twin), Value(node), Value("s")})}};
    EXPECT_EQ(XMLParser::nameForNode(node, parent), Value("b"));
    EXPECT_TRUE(XMLParser::nameForNode(node, Dictionary{{"a", Value(twin)}}).isNull());
    EXPECT_TRUE(XMLParser::nameForNode(node, std::nullopt).isNull());
    EXPECT_EQ(XMLParser::nameForNode(Dictionary{{"__name", "n"}}, std::nullopt), Value("n"));
}

TEST(XMLParser, FileEntryPoints) {
    auto path = std::filesystem::temp_directory_path() / ("orvalis-xml-" + std::to_string(::getpid()) + ".xml");
    { std::ofstream(path) << "<?xml version='1.0' encoding='ISO-8859-1'?><r><x>caf\xe9</x></r>"; }
    XMLParser p;
    auto d = p.dictionaryWithFile(path.string());
    std::filesystem::remove(path);
    ASSERT_TRUE(d);
    EXPECT_EQ(Value(*d), json("{\"__name\":\"r\",\"x\":\"caf\u00e9\"}"));
    EXPECT_FALSE(p.dictionaryWithFile(path.string()));
    EXPECT_FALSE(XMLTree::dictionaryWithXMLFile(path.string()));
}

TEST(XMLParser, SharedInstanceOptionsReachEntryPointsOnEightThreads) {
    XMLParser& shared = XMLParser::sharedInstance();
    EXPECT_EQ(&shared, &XMLParser::sharedInstance());
    XMLParser saved(shared);
    shared.setWrapRootNode(true);
    shared.setAttributesMode(AttributesMode::Unprefixed);

    constexpr int kThreads = 8, kRounds = 200;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kRounds; ++i) {
                std::string n = std::to_string(t * kRounds + i);
                std::string xml = "<doc><item id='" + n + "'>" + n + "</item><item>x</item></doc>";
                auto d = i % 2 ? XMLTree::dictionaryWithXMLString(xml) : XMLTree::dictionaryWithXMLData(xml);
                if (!d) {
                    ++failures[t];
                    continue;
                }
                Dictionary doc = d->objectForKey("doc").asDictionary();
                Array items = doc.objectForKey("item").asArray();
                if (items.size() != 2 || items[0]["id"].asString() != n ||
                    items[0]["__text"].asString() != n || items[1].asString() != "x")
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    shared = saved;
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace

namespace {

// Forwards events to a parser and looks at its state after each one, which
// forces every open element to exist as a node at once. The tree must not
// depend on when elements become nodes.
class Inspecting : public XMLEventDelegate {
public:
    explicit Inspecting(XMLParser& p) : p_(p) {}
    void didStartElement(std::string_view n, std::span<const XMLAttribute> a) override {
        p_.didStartElement(n, a);
        look();
    }
    void didEndElement(std::string_view n) override {
        p_.didEndElement(n);
        look();
    }
    void foundCharacters(std::string_view c) override {
        p_.foundCharacters(c);
        look();
    }
    void foundCDATA(std::string_view b) override {
        p_.foundCDATA(b);
        look();
    }
    void foundComment(std::string_view c) override {
        p_.foundComment(c);
        look();
    }

private:
    void look() {
        (void)p_.root();
        (void)p_.stack();
    }
    XMLParser& p_;
};

std::string randomDocument(std::mt19937& rng) {
    auto pick = [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng); };
    static const char* names[] = {"a", "b", "c", "_u", "__text"};
    static const char* texts[] = {"t", " ", "\n  ", "x y", "&amp;"};
    std::string out = "<r>";
    std::vector<std::string> open{"r"};
    for (int i = 0, n = 5 + static_cast<int>(pick(30)); i < n; ++i) {
        switch (pick(5)) {
            case 0:
            case 1: {
                std::string name = names[pick(5)];
                out += "<" + name;
                if (pick(3) == 0) out += " id='1'";
                if (pick(4) == 0) out += " _name='n'";
                out += ">";
                open.push_back(name);
                break;
            }
            case 2:
                if (open.size() > 1) {
                    out += "</" + open.back() + ">";
                    open.pop_back();
                }
                break;
            case 3:
                out += texts[pick(5)];
                break;
            case 4:
                out += pick(2) ? "<!--c-->" : "<![CDATA[d]]>";
                break;
        }
    }
    if (pick(4) != 0)  // otherwise leave it cut off
        while (!open.empty()) {
            out += "</" + open.back() + ">";
            open.pop_back();
        }
    return out;
}

TEST(XMLParser, TreeDoesNotDependOnWhenElementsBecomeNodes) {
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        std::string doc = randomDocument(rng);
        unsigned bits = rng();
        auto configure = [bits](XMLParser& p) {
            p.setCollapseTextNodes(bits & 1);
            p.setStripEmptyNodes(bits & 2);
            p.setTrimWhiteSpace(bits & 4);
            p.setAlwaysUseArrays(bits & 8);
            p.setPreserveComments(bits & 16);
            p.setWrapRootNode(bits & 32);
            p.setAttributesMode((bits >> 6) % 4);
            p.setNodeNameMode((bits >> 8) % 3);
        };
        XMLParser plain, inspected;
        configure(plain);
        configure(inspected);
        auto expected = plain.dictionaryWithString(doc);
        Inspecting spy(inspected);
        XMLEventSource source(doc);
        source.parse(spy);
        auto got = inspected.root();
        ASSERT_EQ(expected.has_value(), got.has_value()) << doc;
        ASSERT_EQ(Value(*expected), Value(*got)) << doc << " options " << bits;
    }
}

}  // namespace
