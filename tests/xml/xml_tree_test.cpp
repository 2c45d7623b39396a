#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <string>

#include "xml_test_util.h"

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

Dictionary node(std::string_view text) { return json(text).asDictionary(); }
template <class T>
Value orNull(const std::optional<T>& v) {
    return v ? Value(*v) : Value();
}

struct Accessors {
    const char* name;
    const char* node;
    const char* attributes;
    const char* children;
    const char* text;
};
class XMLTreeAccessors : public ::testing::TestWithParam<Accessors> {};

TEST_P(XMLTreeAccessors, ReadReservedAndPrefixedKeys) {
    Dictionary n = node(GetParam().node);
    EXPECT_EQ(orNull(XMLTree::attributes(n)), json(GetParam().attributes));
    EXPECT_EQ(orNull(XMLTree::childNodes(n)), json(GetParam().children));
    EXPECT_EQ(XMLTree::innerText(n), json(GetParam().text));
}

// clang-format off
const Accessors kNodes[] = {
    {"Prefixed", R"({"_id":"7","__text":"t"})", R"({"id":"7"})", "null", R"("t")"},
    {"EmptyGroupIsNone", R"({"__attributes":{},"_b":"2"})", "null", "null", "null"},
    {"GroupWins", R"({"__attributes":{"a":"1"},"_b":"2"})", R"({"a":"1"})", "null", "null"},
    {"PrefixedBesideChild", R"({"_id":"1","id":"2"})", R"({"id":"1"})", R"({"id":"2"})", "null"},
    {"RunsJoined", R"({"__text":["a","b"]})", "null", "null", R"("a\nb")"},
    {"EmptyText", R"({"__text":""})", "null", "null", R"("")"},
    {"UnderscoreKeys", R"({"_x":{"y":"1"},"__x":"2","__comments":["c"]})", R"({"x":{"y":"1"},"_x":"2"})", "null",
     "null"},
    {"EmptyKeyIsChild", R"({"":"e","x":[1,2]})", "null", R"({"":"e","x":[1,2]})", "null"}};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Nodes, XMLTreeAccessors, ::testing::ValuesIn(kNodes), RowName());

TEST(XMLTreeAccessors, ShareTheNodesValues) {
    Dictionary n = node(R"({"__attributes":{"a":"1"},"c":{"d":"e"}})");
    EXPECT_TRUE(XMLTree::childNodes(n)->objectForKey("c").isSame(n.objectForKey("c")));
    EXPECT_TRUE(XMLTree::attributes(n)->isSame(n.objectForKey("__attributes").asDictionary()));
}

struct KeyPath {
    const char* name;
    const char* path;
    const char* array;  // JSON of the three lookups, or "null"
    const char* string;
    const char* dictionary;
};
class XMLTreeKeyPaths : public ::testing::TestWithParam<KeyPath> {};

TEST_P(XMLTreeKeyPaths, FindValues) {
    static const Dictionary n = node(R"({"__name":"r", "s":"str", "d":{"__text":"inner","k":"v"}, "empty":[],
        "first_s":["1",{"y":"2"}], "first_d":[{"__text":"t1"},"2"], "a":{"b":"c"}, "num":5,
        "list":[{"v":"1"},{"w":"x"},"leaf",{"v":["2","3"]}]})");
    const KeyPath& k = GetParam();
    EXPECT_EQ(orNull(XMLTree::arrayValueForKeyPath(n, k.path)), json(k.array));
    EXPECT_EQ(XMLTree::stringValueForKeyPath(n, k.path), json(k.string));
    EXPECT_EQ(XMLTree::dictionaryValueForKeyPath(n, k.path), json(k.dictionary));
}

// clang-format off
const KeyPath kPaths[] = {
    {"Missing", "missing", "null", "null", "null"},
    {"Leaf", "s", R"(["str"])", R"("str")", R"({"__text":"str"})"}, {"Number", "num", "[5]", "5", "5"},
    {"Node", "d", R"([{"__text":"inner","k":"v"}])", R"("inner")", R"({"__text":"inner","k":"v"})"},
    {"EmptyArray", "empty", "[]", "null", "null"},
    {"ArrayStartingWithLeaf", "first_s", R"(["1",{"y":"2"}])", R"("1")", R"({"__text":"1"})"},
    {"ArrayStartingWithNode", "first_d", R"([{"__text":"t1"},"2"])", R"("t1")", R"({"__text":"t1"})"},
    {"TwoLevels", "a.b", R"(["c"])", R"("c")", R"({"__text":"c"})"},
    {"NodeWithoutText", "a", R"([{"b":"c"}])", "null", R"({"b":"c"})"},
    {"ComponentOnALeaf", "s.x", "null", "null", "null"}, {"Operator", "@count", "null", "null", "null"},
    {"ThroughAnArray", "list.v", R"(["1",null,null,["2","3"]])", R"("1")", R"({"__text":"1"})"}};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Paths, XMLTreeKeyPaths, ::testing::ValuesIn(kPaths), RowName());

struct Writing {
    const char* name;
    const char* node;
    const char* xml;
};
class XMLWriting : public ::testing::TestWithParam<Writing> {};

TEST_P(XMLWriting, WritesTheExpectedText) { EXPECT_EQ(XMLTree::XMLString(node(GetParam().node)), GetParam().xml); }

// clang-format off
const Writing kWritings[] = {
    {"Wrapper", R"({"a":"hello"})", "<a>hello</a>"},
    {"GroupedAttribute", R"({"__name":"x","__attributes":{"id":"7"},"__text":"t"})", "<x id=\"7\">t</x>"},
    {"EmptyArray", R"({"__name":"r","x":[]})", "<r/>"}, {"NestedEmptyArray", R"({"__name":"r","x":[[]]})", "<r/>"},
    {"EmptyArrayBesideChild", R"({"__name":"r","x":[],"y":"1"})", "<r>\n<y>1</y></r>"},
    {"TwoNestedEmptyArrays", R"({"__name":"r","x":[[],[]]})", "<r>\n</r>"},
    {"TextOnly", R"({"__text":"x"})", "x"}, {"EmptyText", R"({"__name":"r","__text":""})", "<r/>"},
    {"CommentsChildrenThenRuns", R"({"__name":"r","__text":["a","b"],"x":"1","__comments":["c1","c2"]})",
     "<r><!--c1-->\n<!--c2-->\n<x>1</x>\na\nb</r>"},
    {"UnprefixedKeyIsChild", R"({"__name":"x","id":"7","__text":"t"})", "<x><id>7</id>\nt</x>"},
    {"AttributeOnlyChild", R"({"__name":"r","x":{"_a":"1"}})", "<r><x a=\"1\"/></r>"},
    {"AttributeOfNodeIsItsText", R"({"__name":"r","_c":{"k":"v"}})", "<r c=\"{&quot;k&quot;:&quot;v&quot;}\"/>"},
    {"NamesNotEscaped", R"({"__name":"a b","__text":"<"})", "<a b>&lt;</a b>"},
    {"Scalars", R"({"__name":"r","n":1.5,"b":true,"z":null,"i":-3})",
     "<r><n>1.5</n>\n<b>true</b>\n<z>null</z>\n<i>-3</i></r>"},
    {"AttributeEscaped", R"({"__name":"r","_q":"a\"b'<&>"})", "<r q=\"a&quot;b&apos;&lt;&amp;&gt;\"/>"},
    {"AttributesBeforeChildren", R"({"__name":"r","_a":"1","x":{"_b":"&","y":["t","u"]}})",
     "<r a=\"1\"><x b=\"&amp;\"><y>t</y>\n<y>u</y></x></r>"},
    {"WrapperNameWins", R"({"r":{"__name":"inner","x":"1"}})", "<r><x>1</x></r>"}};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Nodes, XMLWriting, ::testing::ValuesIn(kWritings), RowName());

TEST(XMLWriting, LeavesArraysAndTheFiveSpecialCharacters) {
    EXPECT_EQ(XMLParser::XMLStringForNode(Value(Array{}), "x"), "");
    EXPECT_EQ(XMLParser::XMLStringForNode(Value("a&b"), "x"), "<x>a&amp;b</x>");
    EXPECT_EQ(XMLTree::innerXML(node(R"({"__name":"r","x":"1"})")), "<x>1</x>");
    EXPECT_EQ(
        XMLTree::XMLEncodedString("a<b & 'c' \"x\">&amp;"), "a&lt;b &amp; &apos;c&apos; &quot;x&quot;&gt;&amp;amp;");
    EXPECT_EQ(
        XMLTree::XMLEncodedString(std::string_view("\x01\n\xc3\xa9\0", 5)), std::string_view("\x01\n\xc3\xa9\0", 5));
}

}  // namespace
