#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Formats/ParseResult.h>
#include <Orvalis/Foundation/Formats/XMLEventSource.h>
#include <Orvalis/Foundation/Value/Value.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

/// Why XMLTree::wellFormedXMLString refused a tree: the first key or value
/// that cannot be written, as the tree holds it, and the reason.
struct ORVALIS_EXPORT XMLWriteError {
    std::string item;
    std::string reason;
    /// The item, quoted (control characters as \u escapes, cut after 80 bytes), then the reason.
    std::string description() const;
};

}  // namespace orvalis

/// Reading, looking up and writing node Dictionaries of the shape XMLParser
/// builds: "__name", "__attributes", "__text", "__comments", attributes under
/// "_" + name, and every other key a child element. None changes the node.
namespace orvalis::XMLTree {

/// The node's attributes: its non-empty "__attributes" map, else its
/// "_"-prefixed keys without the prefix. Null when there are none.
ORVALIS_EXPORT std::optional<Dictionary> attributes(const Dictionary& node);
/// The entries whose keys do not begin with "_" (the same values, not copies); null when none.
ORVALIS_EXPORT std::optional<Dictionary> childNodes(const Dictionary& node);
/// The "__comments" entry as it is, or null.
ORVALIS_EXPORT Value comments(const Dictionary& node);
/// The "__name" entry as it is, or null.
ORVALIS_EXPORT Value nodeName(const Dictionary& node);
/// The "__text" entry: runs of an array joined by "\n", a string as it is; null when absent.
ORVALIS_EXPORT Value innerText(const Dictionary& node);

/// The value along a dotted key path: each component looks up a key of a
/// Dictionary; on an array the rest of the path maps over its elements into
/// a new array. Components on leaves, and components beginning with "@",
/// give null. Any depth (no recursion).
ORVALIS_EXPORT Value valueForKeyPath(const Dictionary& node, std::string_view keyPath);
/// The value found as an array: an array as it is, another value wrapped in one; null when nothing.
ORVALIS_EXPORT std::optional<Array> arrayValueForKeyPath(const Dictionary& node, std::string_view keyPath);
/// The value found (first element of an array) as text: a node gives its
/// innerText, another leaf is returned as it is; null when nothing.
ORVALIS_EXPORT Value stringValueForKeyPath(const Dictionary& node, std::string_view keyPath);
/// The value found (first element of an array) as a node: a string s gives
/// {"__text": s}, anything else is returned as it is; null when nothing.
ORVALIS_EXPORT Value dictionaryValueForKeyPath(const Dictionary& node, std::string_view keyPath);

/// The tree of the document parser delivers, read with a fresh copy of
/// XMLParser::sharedInstance() (its options). Malformed input gives the tree
/// built so far; no value when no element started (XMLParser::dictionaryWithParser).
ORVALIS_EXPORT std::optional<Dictionary> dictionaryWithXMLParser(XMLEventSource& parser);
/// As dictionaryWithXMLParser, for the document in data (UTF-8 or as it declares).
ORVALIS_EXPORT std::optional<Dictionary> dictionaryWithXMLData(std::string_view data);
/// As dictionaryWithXMLParser, for a document held as UTF-8 text.
ORVALIS_EXPORT std::optional<Dictionary> dictionaryWithXMLString(std::string_view string);
/// As dictionaryWithXMLParser, for the file at path; no value when it cannot be read.
ORVALIS_EXPORT std::optional<Dictionary> dictionaryWithXMLFile(const std::string& path);

/**@{*/
/// As the entry points above, with how the reading ended: the tree (for a
/// malformed document, the part built before the error; no value when no
/// element started) and the ParseResult (Ok for a whole document; else the
/// status, line, column, byte offset and expat's text; Unreadable when the
/// file cannot be read). Any thread.
ORVALIS_EXPORT Parsed<Dictionary> parseXMLData(std::string_view data);
ORVALIS_EXPORT Parsed<Dictionary> parseXMLString(std::string_view string);
ORVALIS_EXPORT Parsed<Dictionary> parseXMLFile(const std::string& path);
/**@}*/

/// The node as one element (named by "__name", else "root"); a node of one
/// entry without "__name" (a wrapped result) is written as that entry.
/// Compact: no declaration, no indentation, items separated by "\n".
ORVALIS_EXPORT std::string XMLString(const Dictionary& node);
/// As XMLString, but only ever XML 1.0 text that is one element: every
/// element and attribute name an XML Name, every character an XML Char,
/// comments without "--" and not ending in "-", "__name" a string (or
/// absent). No value when the tree cannot be written so, and error names the
/// first key or value in the way (text and attributes are escaped, so "]]>"
/// and markup never need refusing). Any thread.
ORVALIS_EXPORT std::optional<std::string> wellFormedXMLString(const Dictionary& node,
                                                              std::optional<XMLWriteError>& error);
/// The node's content without its own tags: comments, then children, then text.
ORVALIS_EXPORT std::string innerXML(const Dictionary& node);
/// The first key (or "__name" value, as text) in tree that XMLString would
/// write as an element or attribute name and that is not an XML Name (a
/// "__name" that is not a string counts as one); null when there is none.
/// Names are written as they are: prefer wellFormedXMLString for trees from outside.
ORVALIS_EXPORT std::optional<std::string> firstInvalidName(const Value& tree);
/// text with & < > " ' replaced by their entities; nothing else changed.
ORVALIS_EXPORT std::string XMLEncodedString(std::string_view text);

}  // namespace orvalis::XMLTree
