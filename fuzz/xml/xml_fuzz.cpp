// XML to tree on arbitrary bytes, with the parser's options taken from the
// first two bytes; then the node accessors, writing the tree back as XML and
// parsing that output again.
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using orvalis::Dictionary;
using orvalis::Value;
using orvalis::XMLParser;
namespace XMLTree = orvalis::XMLTree;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void configure(XMLParser& parser, std::uint8_t flags, std::uint8_t modes) {
    parser.setCollapseTextNodes(flags & 0x01);
    parser.setStripEmptyNodes(flags & 0x02);
    parser.setTrimWhiteSpace(flags & 0x04);
    parser.setAlwaysUseArrays(flags & 0x08);
    parser.setPreserveComments(flags & 0x10);
    parser.setWrapRootNode(flags & 0x20);
    // Values outside the named modes are legal and must behave like the last one.
    parser.setAttributesMode(static_cast<std::int64_t>(modes & 0x07) - 1);
    parser.setNodeNameMode(static_cast<std::int64_t>((modes >> 3) & 0x07) - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    XMLParser parser;
    configure(parser, data[0], data[1]);
    const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    const auto tree = parser.dictionaryWithData(bytes);
    if (!tree) return 0;
    check(*tree == tree->deepCopy());
    (void)XMLTree::attributes(*tree);
    (void)XMLTree::childNodes(*tree);
    (void)XMLTree::comments(*tree);
    (void)XMLTree::nodeName(*tree);
    (void)XMLTree::innerText(*tree);

    const std::string xml = XMLTree::XMLString(*tree);
    (void)XMLParser::XMLStringForNode(Value(*tree), "n");
    // Names are written unescaped, so the output need not be well-formed;
    // parsing it must still be safe, and the parser must be reusable.
    (void)parser.dictionaryWithString(xml);
    (void)parser.dictionaryWithData(bytes);
    return 0;
}
