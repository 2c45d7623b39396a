#pragma once

#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace orvalis::testsupport {

// Expected values are written as JSON, scalars and "null" included: shorter
// than building Dictionaries.
inline Value json(std::string_view text) {
    auto v = JSONSerialization::JSONObjectWithData("[" + std::string(text) + "]").value;
    EXPECT_TRUE(v) << "bad expectation: " << text;
    return v ? v->asArray()[0] : Value();
}

// The parser's eight options, with the parser's own defaults.
struct Options {
    bool collapse = true, strip = true, trim = true, arrays = false, comments = false, wrap = false;
    std::int64_t attributes = 0, names = 0;

    void applyTo(XMLParser& p) const {
        p.setCollapseTextNodes(collapse);
        p.setStripEmptyNodes(strip);
        p.setTrimWhiteSpace(trim);
        p.setAlwaysUseArrays(arrays);
        p.setPreserveComments(comments);
        p.setWrapRootNode(wrap);
        p.setAttributesMode(attributes);
        p.setNodeNameMode(names);
    }
};

// The tree of xml read with the options, or null.
inline Value parse(std::string_view xml, const Options& options = {}) {
    XMLParser p;
    options.applyTo(p);
    auto d = p.dictionaryWithData(xml);
    return d ? Value(*d) : Value();
}

}  // namespace orvalis::testsupport
