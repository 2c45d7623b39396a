#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "xml_test_util.h"

using namespace orvalis;
using orvalis::testing::json;

namespace {

Dictionary node(std::string_view text) { return json(text).asDictionary(); }
Value opt(const std::optional<Dictionary>& d) { return d ? Value(*d) : Value(); }
Value opt(const std::optional<Array>& a) { return a ? Value(*a) : Value(); }

TEST(XMLTreeAccessors, ReadReservedAndPrefixedKeys) {
    struct Case {
        const char* node;
        const char* attributes;
        const char* children;
        const char* text;
    };
    const Case cases[] = {
        {R"({"_id":"7","__text":"t"})", R"({"id":"7"})", "null", R"(["t"])"},
        {R"({"__attributes":{},"_b":"2"})", "null", "null", "null"},
        {R"({"__attributes":{"a":"1"},"_b":"2"})", R"({"a":"1"})", "null", "null"},
        {R"({"_id":"1","id":"2"})", R"({"id":"1"})", R"({"id":"2"})", "null"},
        {R"({"__name":"a"})", "null", "null", "null"},
        {R"({"__text":["a","b"]})", "null", "null", R"(["a\nb"])"},
        {R"({"__text":""})", "null", "null", R"([""])"},
        {R"({"_x":{"y":"1"},"__x":"2","__comments":["c"]})", R"({"x":{"y":"1"},"_x":"2"})", "null", "null"},
        {R"({"":"empty key is a child","x":[1,2]})", "null", R"({"":"empty key is a child","x":[1,2]})", "null"},
    };
    auto unwrap = [](const char* t) { return std::string_view(t) == "null" ? Value() : json(t); };
    for (const Case& c : cases) {
        Dictionary n = node(c.node);
        EXPECT_EQ(opt(XMLTree::attributes(n)), unwrap(c.attributes)) << c.node;
        EXPECT_EQ(opt(XMLTree::childNodes(n)), unwrap(c.children)) << c.node;
        Value text = unwrap(c.text);
        EXPECT_EQ(XMLTree::innerText(n), text.isNull() ? Value() : text.asArray()[0]) << c.node;
    }
    Dictionary named = node(R"({"__name":"a","__comments":["x"]})");
    EXPECT_EQ(XMLTree::nodeName(named), Value("a"));
    EXPECT_EQ(XMLTree::comments(named), json(R"(["x"])"));
    EXPECT_TRUE(XMLTree::comments(node("{}")).isNull());
}

TEST(XMLTreeAccessors, ChildNodesShareValuesAndGroupedMapIsTheSameObject) {
    Dictionary n = node(R"({"__attributes":{"a":"1"},"c":{"d":"e"}})");
    Dictionary children = *XMLTree::childNodes(n);
    children.objectForKey("c").asDictionary().set("d", "changed");
    EXPECT_EQ(n["c"]["d"].asString(), "changed");
    EXPECT_TRUE(XMLTree::attributes(n)->isSame(n.objectForKey("__attributes").asDictionary()));
}

TEST(XMLTreeKeyPaths, TableOfValuesFound) {
    Dictionary n = node(R"({"__name":"r",
        "s":"str", "d":{"__text":"inner","k":"v"}, "empty":[], "first_s":["1",{"y":"2"}],
        "first_d":[{"__text":"t1"},"2"], "a":{"b":"c"}, "num":5,
        "list":[{"v":"1"},{"w":"x"},"leaf",{"v":["2","3"]}]})");
    struct Case {
        const char* path;
        const char* array;
        const char* string;
        const char* dictionary;
    };
    const Case cases[] = {
        {"missing", "null", "null", "null"},
        {"missing.deeper", "null", "null", "null"},
        {"s", R"([["str"]])", R"(["str"])", R"([{"__text":"str"}])"},
        {"d", R"([[{"__text":"inner","k":"v"}]])", R"(["inner"])", R"([{"__text":"inner","k":"v"}])"},
        {"empty", "[[]]", "null", "null"},
        {"first_s", R"([["1",{"y":"2"}]])", R"(["1"])", R"([{"__text":"1"}])"},
        {"first_d", R"([[{"__text":"t1"},"2"]])", R"(["t1"])", R"([{"__text":"t1"}])"},
        {"a.b", R"([["c"]])", R"(["c"])", R"([{"__text":"c"}])"},
        {"a", R"([[{"b":"c"}]])", "null", R"([{"b":"c"}])"},  // no "__text": innerText is null
        {"num", "[[5]]", "[5]", "[5]"},
        {"s.x", "null", "null", "null"},  // a component on a leaf
        {"a.@count", "null", "null", "null"},
        {"@count", "null", "null", "null"},
        {"list.v", R"([["1",null,null,["2","3"]]])", R"(["1"])", R"([{"__text":"1"}])"},
    };
    auto unwrap = [](const char* t) { return std::string_view(t) == "null" ? Value() : json(t).asArray()[0]; };
    for (const Case& c : cases) {
        EXPECT_EQ(opt(XMLTree::arrayValueForKeyPath(n, c.path)), unwrap(c.array)) << c.path;
        EXPECT_EQ(XMLTree::stringValueForKeyPath(n, c.path), unwrap(c.string)) << c.path;
        EXPECT_EQ(XMLTree::dictionaryValueForKeyPath(n, c.path), unwrap(c.dictionary)) << c.path;
    }
}

TEST(XMLWriting, ExpectedText) {
    struct Case {
        const char* node;
        const char* xml;
    };
    const Case cases[] = {
        {R"({"__name":"a","__text":"hello"})", "<a>hello</a>"},
        {R"({"a":"hello"})", "<a>hello</a>"},
        {"{}", "<root/>"},
        {R"({"__name":"r","x":["1","2"]})", "<r><x>1</x>\n<x>2</x></r>"},
        {R"({"__name":"x","_id":"7","__text":"t"})", "<x id=\"7\">t</x>"},
        {R"({"__name":"x","__attributes":{"id":"7"},"__text":"t"})", "<x id=\"7\">t</x>"},
        {R"({"__name":"r","__comments":["c"],"__text":"t"})", "<r><!--c-->\nt</r>"},
        {R"({"__name":"r","x":[]})", "<r/>"},
        {R"({"__name":"r","x":[],"y":"1"})", "<r>\n<y>1</y></r>"},
        {R"({"__name":"r","x":[[]]})", "<r/>"},
        {R"({"__name":"r","x":[[],[]]})", "<r>\n</r>"},
        {R"({"__text":"x"})", "x"},
        {R"({"__name":"r","__text":""})", "<r/>"},
        {R"({"__name":"r","__text":["a","b"],"x":"1","__comments":["c1","c2"]})",
         "<r><!--c1-->\n<!--c2-->\n<x>1</x>\na\nb</r>"},
        {R"({"__name":"x","id":"7","__text":"t"})", "<x><id>7</id>\nt</x>"},
        {R"({"__name":"r","x":{"_a":"1"}})", "<r><x a=\"1\"/></r>"},
        {R"({"__name":"r","_c":{"k":"v"}})", "<r c=\"{&quot;k&quot;:&quot;v&quot;}\"/>"},
        {R"({"__name":"a b","__text":"<"})", "<a b>&lt;</a b>"},  // names are not escaped
        {R"({"__name":"r","n":1.5,"b":true,"z":null,"i":-3})",
         "<r><n>1.5</n>\n<b>true</b>\n<z>null</z>\n<i>-3</i></r>"},
        {R"({"__name":"r","_q":"a\"b'<&>"})", "<r q=\"a&quot;b&apos;&lt;&amp;&gt;\"/>"},
        {R"({"r":{"__name":"inner","x":"1"}})", "<r><x>1</x></r>"},
    };
    for (const Case& c : cases) EXPECT_EQ(XMLTree::XMLString(node(c.node)), c.xml) << c.node;
    EXPECT_EQ(XMLParser::XMLStringForNode(Value(Array{}), "x"), "");
    EXPECT_EQ(XMLParser::XMLStringForNode(Value("a&b"), "x"), "<x>a&amp;b</x>");
    EXPECT_EQ(XMLTree::innerXML(node(R"({"__name":"r","x":"1"})")), "<x>1</x>");
}

TEST(XMLWriting, EncodesTheFiveSpecialCharactersOnly) {
    EXPECT_EQ(XMLTree::XMLEncodedString("a<b & 'c'"), "a&lt;b &amp; &apos;c&apos;");
    EXPECT_EQ(XMLTree::XMLEncodedString("&amp;"), "&amp;amp;");
    EXPECT_EQ(XMLTree::XMLEncodedString("\"x\">"), "&quot;x&quot;&gt;");
    EXPECT_EQ(XMLTree::XMLEncodedString(std::string_view("\x01\n\xc3\xa9\0", 5)),
              std::string_view("\x01\n\xc3\xa9\0", 5));
    EXPECT_EQ(XMLTree::XMLEncodedString(""), "");
}

// Documents without mixed content: each element holds text or elements.
class DocumentGenerator {
public:
    explicit DocumentGenerator(unsigned seed) : rng_(seed) {}

    std::string document() {
        std::string out = "<?xml version=\"1.0\"?>";
        declared_ = pick(3) == 0;
        if (declared_) out += "<!DOCTYPE r [<!ENTITY ent \"entity &#233; text\">]>";
        element(out, "r", 0);
        return out;
    }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

    std::string name() {
        static const char* names[] = {"a", "b", "item", "x:y", "n-1", "\xc3\xa9l\xc3\xa9ment", "data.v"};
        return names[pick(7)];
    }

    std::string text() {
        static const char* pieces[] = {"plain",
                                       " spaced  words ",
                                       "&lt;&gt;&amp;&quot;&apos;",
                                       "caf\xc3\xa9",
                                       "\xe2\x82\xac\xf0\x9f\x98\x80",
                                       "&#x4E2D;&#25991;",
                                       "1.50",
                                       "line\nbreak",
                                       "<![CDATA[<raw> & ]]>",
                                       "a]]&gt;b"};
        std::string t;
        for (unsigned i = 0, n = 1 + pick(3); i < n; ++i) {
            if (declared_ && pick(8) == 0)
                t += "&ent;";
            else
                t += pieces[pick(10)];
        }
        return t;
    }

    std::string attributeValue() {
        static const char* values[] = {"1", "a b", "&amp;&lt;&gt;", "&quot;q&quot;", "'", "\xc3\xa9", ""};
        return values[pick(7)];
    }

    void element(std::string& out, const std::string& n, int depth) {
        out += "<" + n;
        static const char* attrNames[] = {"id", "type", "x:lang", "k"};
        for (unsigned i = 0, count = pick(3), first = pick(4); i < count; ++i) {
            out += std::string(" ") + attrNames[(first + i) % 4] + "=\"" + attributeValue() + "\"";
        }
        out += ">";
        if (depth < 4 && pick(3) != 0) {
            for (unsigned i = 0, count = 1 + pick(5); i < count; ++i) {
                if (pick(4) == 0) out += "\n  ";  // white space between elements is dropped
                element(out, name(), depth + 1);
            }
        } else {
            // Never empty: a stripped empty element would leave a one-element
            // array behind, which reads back as a single child.
            out += text();
        }
        out += "</" + n + ">";
    }

    std::mt19937 rng_;
    bool declared_ = false;
};

TEST(XMLWriting, RoundTripOfGeneratedDocuments) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        std::string doc = DocumentGenerator(seed).document();
        XMLParser parser;
        XMLEventSource source(doc);
        auto first = parser.dictionaryWithParser(source);
        ASSERT_TRUE(first) << doc;
        ASSERT_EQ(source.errorCode(), 0) << source.errorDescription() << "\n" << doc;
        std::string written = XMLTree::XMLString(*first);
        auto second = parser.dictionaryWithString(written);
        ASSERT_TRUE(second) << written;
        ASSERT_EQ(Value(*first), Value(*second)) << "seed " << seed << "\n" << doc << "\n" << written;
    }
}

TEST(XMLWriting, WrappedResultRoundTrips) {
    XMLParser parser;
    parser.setWrapRootNode(true);
    auto tree = parser.dictionaryWithString("<r a='1'><x>1</x><x>2</x><y><z>t</z></y></r>");
    ASSERT_TRUE(tree);
    auto again = parser.dictionaryWithString(XMLTree::XMLString(*tree));
    ASSERT_TRUE(again);
    EXPECT_EQ(Value(*tree), Value(*again));
}

}  // namespace
