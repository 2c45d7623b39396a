#pragma once

// Library-internal: XMLParser's parse state, and the tree building its events
// drive. Not installed.

#include <Orvalis/Foundation/Formats/XMLEventSource.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Foundation/Value/detail/TextBuffer.h>
#include <Orvalis/Foundation/Value/detail/ValueAccess.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvalis::detail {

/// The eight options of an XMLParser as one value.
struct XMLOptions {
    bool collapseTextNodes = true;
    bool stripEmptyNodes = true;
    bool trimWhiteSpace = true;
    bool alwaysUseArrays = false;
    bool preserveComments = false;
    bool wrapRootNode = false;
    std::int64_t attributesMode = 0;
    std::int64_t nodeNameMode = 0;
};

/// The element and attribute names of one document as string Values. Names
/// too long for a Value's inline bytes are held once per distinct name and
/// shared by every node using them (a string block is immutable and counted
/// atomically, so a tree outlives the table and may cross threads).
class XMLNameTable {
public:
    /// The shared string Value of a name longer than a Value's inline bytes.
    Value operator()(std::string_view name);
    /// Forgets the names (the trees holding them keep theirs), and the table's
    /// memory too when a document had many.
    void clear() noexcept {
        if (names_.bucket_count() > 4096)
            std::unordered_map<std::string_view, Value>().swap(names_);
        else
            names_.clear();
    }

private:
    // Keys view the bytes of their own Value, which never move.
    std::unordered_map<std::string_view, Value> names_;
};

/// Builds one document's tree from its events, shaped by options; the
/// XMLParser handlers and state accessors of the same names forward here.
class XMLTreeBuilder final : public XMLEventDelegate {
public:
    XMLOptions options;

    /// Drops the parse state, keeping buffers of a usual size.
    void reset() noexcept;
    /// The tree of the events so far (an element left open shows as an empty
    /// node); the state is cleared.
    std::optional<Dictionary> finish();

    const std::optional<Dictionary>& root() const;
    void setRoot(std::optional<Dictionary> root);
    std::optional<Array> stack() const;
    void setStack(const std::optional<Array>& stack);
    std::optional<std::string> text() const;
    void setText(std::optional<std::string> text);

    void didStartElement(std::string_view elementName, std::span<const XMLAttribute> attributes) override;
    void didEndElement(std::string_view elementName) override;
    void foundCharacters(std::string_view characters) override { addText(characters); }
    void foundCDATA(std::string_view block) override;
    void foundComment(std::string_view comment) override;
    bool wantsEndElementName() const override { return false; }

    void endText();
    void addText(std::string_view text) {
        text_.append(text);
        textPending_ = true;
    }

private:
    void insertChild(Dictionary& parent, std::string_view name, Value child) const;
    // Short names are stored in place as ever; only longer ones go through the table.
    static constexpr std::size_t kInlineName = ValueAccess::kInlineStringBytes;
    // The value comes from make(), built straight into its place.
    template <class Make>
    void appendNamed(Dictionary& node, std::string_view key, Make&& make) const {
        if (key.size() <= kInlineName)
            node.append(key, make());
        else
            appendShared(node, key, make());
    }
    void appendShared(Dictionary& node, std::string_view key, Value value) const;
    void setNamed(Dictionary& node, std::string_view key, Value value) const;
    Value nameValue(std::string_view name) const { return name.size() <= kInlineName ? Value(name) : names_(name); }
    void materialize() const;
    Dictionary newNode(std::string_view name, std::size_t known) const;
    std::pair<std::size_t, std::size_t> runRange() const noexcept;

    std::optional<Dictionary> root_;
    // An innermost element without attributes is only made into a node when
    // something needs to see it; most such elements end up as plain text.
    mutable std::vector<Dictionary> stack_;
    mutable bool deferred_ = false;
    mutable std::string deferredName_;
    bool stackSet_ = false;
    TextBuffer text_;
    bool textPending_ = false;
    std::string keyBuffer_;
    mutable XMLNameTable names_;
    // The element name each depth last opened a node for, and the entries
    // the last two nodes of that name there ended with: how much room the
    // next one gets.
    struct Shape {
        static constexpr std::uint32_t kUnknown = UINT32_MAX;
        std::string name;
        std::uint32_t last = kUnknown;
        std::uint32_t before = kUnknown;
    };
    static constexpr std::size_t kShapeDepths = 1024;
    mutable std::vector<Shape> shapes_;
};

}  // namespace orvalis::detail
