#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Foundation/Formats/XMLEventSource.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orvalis {

namespace detail {
class XMLTreeBuilder;
}  // namespace detail

/// How XMLParser stores the attributes of an element (values of attributesMode).
enum class AttributesMode : std::int64_t {
    Prefixed = 0,    ///< each under "_" followed by its name
    Grouped = 1,     ///< the whole map under "__attributes"
    Unprefixed = 2,  ///< each under its bare name, merged into the node
    Discard = 3,     ///< dropped (as is any other value)
};

/// Which nodes XMLParser names under "__name" (values of nodeNameMode).
enum class NodeNameMode : std::int64_t {
    RootOnly = 0,  ///< only the document's root element
    Always = 1,    ///< every node
    Never = 2,     ///< none (as is any other value)
};

/// Turns an XML document into a tree of node Dictionaries, one per element,
/// shaped by eight options. Copying a parser copies its options only. One
/// parser handles one document at a time; separate parsers may run on
/// separate threads.
class ORVALIS_EXPORT XMLParser : public XMLEventDelegate {
public:
    /// A parser with the default options (collapse, strip and trim on).
    XMLParser();
    /// A parser with other's eight options; the parse state is not copied.
    XMLParser(const XMLParser& other);
    /// Takes other's eight options, leaving this parser's parse state as it
    /// is; returns *this.
    XMLParser& operator=(const XMLParser& other);
    ~XMLParser() override;

    /// The process-wide parser whose options are the defaults of the
    /// XMLTree::dictionaryWithXML... entry points. Created once, thread-safely.
    /// Its options are published as an immutable snapshot: any thread may read
    /// or change them while others convert (each change is seen whole).
    static XMLParser& sharedInstance();

    /// Runs the source over its document with this parser as delegate and
    /// returns the root node (or the wrapper with wrapRootNode). Malformed or
    /// cut-off input gives the tree built so far; no value when no element
    /// started. The parse state is cleared afterwards in every case.
    std::optional<Dictionary> dictionaryWithParser(XMLEventSource& parser);
    /// Parses bytes (UTF-8 or as the document declares); see dictionaryWithParser.
    std::optional<Dictionary> dictionaryWithData(std::string_view bytes);
    /// Parses UTF-8 text; see dictionaryWithParser.
    std::optional<Dictionary> dictionaryWithString(std::string_view string);
    /// Parses the whole file at path; no value when it cannot be read.
    std::optional<Dictionary> dictionaryWithFile(const std::string& path);

    /// Writes value as XML text: a node as an element named nodeName, an
    /// array as one element per item (joined by line feeds), a leaf as an
    /// element holding its escaped text. The name is written unescaped.
    static std::string XMLStringForNode(const Value& node, std::string_view nodeName);

    // Options.
    /**@{*/
    /// Whether an element holding only text (no attributes, children or
    /// comments) is replaced in its parent by that text. On by default.
    bool collapseTextNodes() const noexcept;
    void setCollapseTextNodes(bool v) noexcept;
    /**@}*/
    /**@{*/
    /// Whether an element with no attributes, children, comments or text is
    /// removed from its parent. On by default.
    bool stripEmptyNodes() const noexcept;
    void setStripEmptyNodes(bool v) noexcept;
    /**@}*/
    /**@{*/
    /// Whether each text run loses its leading and trailing white space and
    /// line breaks before it is stored; runs left empty are dropped. On by default.
    bool trimWhiteSpace() const noexcept;
    void setTrimWhiteSpace(bool v) noexcept;
    /**@}*/
    /**@{*/
    /// Whether every child entry is an array, even for a single child. Off by default.
    bool alwaysUseArrays() const noexcept;
    void setAlwaysUseArrays(bool v) noexcept;
    /**@}*/
    /**@{*/
    /// Whether comments are kept, in document order, under "__comments";
    /// otherwise they are dropped. Off by default.
    bool preserveComments() const noexcept;
    void setPreserveComments(bool v) noexcept;
    /**@}*/
    /**@{*/
    /// Whether the result is a one-entry Dictionary keyed by the root
    /// element's name instead of the root node itself. Off by default.
    bool wrapRootNode() const noexcept;
    void setWrapRootNode(bool v) noexcept;
    /**@}*/
    /**@{*/
    /// How attributes are stored, as an AttributesMode value (0, Prefixed, by
    /// default); a value outside the enumeration discards them.
    std::int64_t attributesMode() const noexcept;
    void setAttributesMode(std::int64_t v) noexcept;
    void setAttributesMode(AttributesMode v) noexcept { setAttributesMode(static_cast<std::int64_t>(v)); }
    /**@}*/
    /**@{*/
    /// Which nodes carry "__name", as a NodeNameMode value (0, RootOnly, by
    /// default); a value outside the enumeration names none.
    std::int64_t nodeNameMode() const noexcept;
    void setNodeNameMode(std::int64_t v) noexcept;
    void setNodeNameMode(NodeNameMode v) noexcept { setNodeNameMode(static_cast<std::int64_t>(v)); }
    /**@}*/

    // Parse state (empty while idle).
    /**@{*/
    /// The result under construction, or no value; the setter replaces it.
    const std::optional<Dictionary>& root() const;
    void setRoot(std::optional<Dictionary> root);
    /**@}*/
    /**@{*/
    /// The open elements, innermost last (the same node objects), or no value
    /// while idle. The setter replaces them and skips entries that are not nodes.
    std::optional<Array> stack() const;
    void setStack(const std::optional<Array>& stack);
    /**@}*/
    /**@{*/
    /// The pending run of text, or no value; the setter replaces it (no value
    /// discards the run).
    std::optional<std::string> text() const;
    void setText(std::optional<std::string> text);
    /**@}*/

    // Event handlers, called by the event source during a parse.
    /// Stores the pending text, then opens a node for the element (named and
    /// with its attributes as the options say) under the innermost open node,
    /// turning a repeated name into an array; the first element becomes the root.
    void didStartElement(std::string_view elementName, std::span<const XMLAttribute> attributes) override;
    /// Stores the pending text and closes the innermost node: one with only
    /// text collapses to it, an empty one is stripped, as the options say.
    /// A node with attributes, children or comments stays as it is.
    void didEndElement(std::string_view elementName) override;
    /// Appends to the pending text run.
    void foundCharacters(std::string_view characters) override;
    /// Block bytes that are not valid UTF-8 add no text.
    void foundCDATA(std::string_view block) override;
    /// With preserveComments on, appends the comment to the innermost open
    /// node's "__comments"; otherwise, or with no open node, drops it. The
    /// pending text run goes on across it.
    void foundComment(std::string_view comment) override;
    /// False: the parser never uses the end tag's name.
    bool wantsEndElementName() const override { return false; }

    /// Stores the pending text run (trimmed when trimWhiteSpace is on) in the
    /// innermost open node, unless it is empty; then clears it.
    void endText();
    /// Appends to the pending text run, starting one when there is none.
    void addText(std::string_view text);
    /// The node's "__name", else the first key of inDictionary whose value
    /// is node itself or an array holding it; null when there is none.
    static Value nameForNode(const Dictionary& node, const std::optional<Dictionary>& inDictionary);

private:
    struct SharedOptions;
    void adoptSharedOptions();

    // The options and the parse state live in the builder, which also is the
    // delegate of the parser's own parses.
    std::unique_ptr<detail::XMLTreeBuilder> builder_;
    // Only the shared instance has one; its options live there, and the
    // builder's are its working copy during its own parses.
    SharedOptions* shared_ = nullptr;
};

}  // namespace orvalis
