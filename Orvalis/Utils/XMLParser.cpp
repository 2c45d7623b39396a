#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Foundation/Value/detail/UTF8.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <Orvalis/Utils/detail/XMLTreeBuilder.h>
#include <Orvalis/Foundation/Value/detail/DecodeBudget.h>
#include <Orvalis/Foundation/Value/detail/ValueAccess.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace orvalis {
namespace {

constexpr std::string_view kName = "__name";
constexpr std::string_view kAttributes = "__attributes";
constexpr std::string_view kText = "__text";
constexpr std::string_view kComments = "__comments";
// What the budget is charged for each name held in the table, beside its bytes.
constexpr std::size_t kNameEntryBytes = 64;

// Length of the white-space character (tab, U+000A..U+000D, U+0085, Unicode
// Z separators) that starts at s[i], or 0.
std::size_t spaceAt(std::string_view s, std::size_t i) noexcept {
    auto u = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = u(i);
    if (c == 0x20 || (c >= 0x09 && c <= 0x0D)) return 1;
    std::size_t left = s.size() - i;
    if (c == 0xC2 && left >= 2 && (u(i + 1) == 0x85 || u(i + 1) == 0xA0)) return 2;
    if (left < 3) return 0;
    unsigned char c1 = u(i + 1), c2 = u(i + 2);
    if (c == 0xE1) return c1 == 0x9A && c2 == 0x80 ? 3 : 0;  // U+1680
    if (c == 0xE3) return c1 == 0x80 && c2 == 0x80 ? 3 : 0;  // U+3000
    if (c == 0xE2) {
        if (c1 == 0x80 && (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
            return 3;                            // U+2000..200A, 2028, 2029, 202F
        if (c1 == 0x81 && c2 == 0x9F) return 3;  // U+205F
    }
    return 0;
}

// Same, for the character that ends just before s[end].
std::size_t spaceBefore(std::string_view s, std::size_t end) noexcept {
    unsigned char c = static_cast<unsigned char>(s[end - 1]);
    if (c < 0x80) return spaceAt(s, end - 1);
    // Lead bytes are never continuation bytes, so looking back is unambiguous.
    if (end >= 2 && spaceAt(s.substr(0, end), end - 2) == 2) return 2;
    if (end >= 3 && spaceAt(s.substr(0, end), end - 3) == 3) return 3;
    return 0;
}

// The bounds of s without its leading and trailing white space.
std::pair<std::size_t, std::size_t> trimmedRange(std::string_view s) noexcept {
    // Most runs begin and end with a printable ASCII byte: nothing to look at.
    auto printable = [](char c) { return static_cast<unsigned char>(c) - 0x21u < 0x5Fu; };
    if (!s.empty() && printable(s.front()) && printable(s.back())) return {0, s.size()};
    std::size_t b = 0, e = s.size(), n;
    while (b < e && (n = spaceAt(s.substr(0, e), b)) != 0) b += n;
    while (e > b && (n = spaceBefore(s.substr(0, e), e)) != 0) e -= n;
    return {b, e};
}

// What keeps a node from collapsing or vanishing at its end: attributes
// (a non-empty "__attributes" map, or "_" keys other than the reserved
// ones), children (keys without "_"), or a "__comments" entry. One pass,
// nothing allocated.
bool hasContentBesidesText(const Dictionary& node) noexcept {
    bool groupedMap = false;  // a "__attributes" map hides the prefixed keys
    if (const Value* grouped = node.find(kAttributes); grouped && grouped->isDictionary()) {
        if (!grouped->asDictionary().empty()) return true;
        groupedMap = true;
    }
    for (const DictionaryEntry& e : node) {
        std::string_view k = e.key();
        if (k.empty() || k[0] != '_' || k == kComments) return true;
        if (k == kText || k == kName || groupedMap) continue;
        return true;
    }
    return false;
}

}  // namespace

// The shared instance's options: a change publishes a new immutable set, and
// readers take the current one whole, so no thread sees a set being written.
struct XMLParser::SharedOptions {
    mutable std::mutex lock;
    std::shared_ptr<const detail::XMLOptions> current = std::make_shared<const detail::XMLOptions>();

    std::shared_ptr<const detail::XMLOptions> load() const {
        std::lock_guard guard(lock);
        return current;
    }
    template <class Change>
    void update(Change change) {
        auto next = std::make_shared<detail::XMLOptions>(*load());
        std::lock_guard guard(lock);
        *next = *current;  // changes made meanwhile are kept
        change(*next);
        current = std::move(next);
    }
};

XMLParser::XMLParser() : builder_(std::make_unique<detail::XMLTreeBuilder>()) {}

XMLParser::XMLParser(const XMLParser& o) : XMLParser() {
    builder_->options = o.shared_ ? *o.shared_->load() : o.builder_->options;
}

XMLParser& XMLParser::operator=(const XMLParser& o) {
    if (this == &o) return *this;
    detail::XMLOptions set = o.shared_ ? *o.shared_->load() : o.builder_->options;
    if (shared_)
        shared_->update([&](detail::XMLOptions& s) { s = set; });
    else
        builder_->options = set;
    return *this;
}

XMLParser::~XMLParser() = default;

XMLParser& XMLParser::sharedInstance() {
    static XMLParser* shared = [] {  // lives until the process ends
        auto* p = new XMLParser();
        p->shared_ = new SharedOptions();
        return p;
    }();
    return *shared;
}

// The shared instance parses with the options current when it starts.
void XMLParser::adoptSharedOptions() {
    if (shared_) builder_->options = *shared_->load();
}

#define ORVALIS_XML_OPTION(Type, getter, Setter, field)                                 \
    Type XMLParser::getter() const noexcept {                                           \
        return shared_ ? shared_->load()->field : builder_->options.field;              \
    }                                                                                   \
    void XMLParser::Setter(Type v) noexcept {                                           \
        if (shared_)                                                                    \
            shared_->update([&](detail::XMLOptions& s) { s.field = v; });                        \
        else                                                                            \
            builder_->options.field = v;                                                \
    }
ORVALIS_XML_OPTION(bool, collapseTextNodes, setCollapseTextNodes, collapseTextNodes)
ORVALIS_XML_OPTION(bool, stripEmptyNodes, setStripEmptyNodes, stripEmptyNodes)
ORVALIS_XML_OPTION(bool, trimWhiteSpace, setTrimWhiteSpace, trimWhiteSpace)
ORVALIS_XML_OPTION(bool, alwaysUseArrays, setAlwaysUseArrays, alwaysUseArrays)
ORVALIS_XML_OPTION(bool, preserveComments, setPreserveComments, preserveComments)
ORVALIS_XML_OPTION(bool, wrapRootNode, setWrapRootNode, wrapRootNode)
ORVALIS_XML_OPTION(std::int64_t, attributesMode, setAttributesMode, attributesMode)
ORVALIS_XML_OPTION(std::int64_t, nodeNameMode, setNodeNameMode, nodeNameMode)
#undef ORVALIS_XML_OPTION

void detail::XMLTreeBuilder::reset() noexcept {
    deferred_ = false;
    root_.reset();
    stack_.clear();
    stackSet_ = false;
    textPending_ = false;
    text_.clear();
    names_.clear();
    // Keep buffers for the next document unless one was huge.
    if (stack_.capacity() > 4096) std::vector<Dictionary>().swap(stack_);
    if (text_.capacity() > (std::size_t{1} << 20)) text_.reset();
}

std::optional<Dictionary> detail::XMLTreeBuilder::finish() {
    materialize();  // an element left open still shows, as an empty node
    std::optional<Dictionary> result = std::move(root_);
    reset();
    return result;
}

std::optional<Dictionary> XMLParser::dictionaryWithParser(XMLEventSource& parser) {
    builder_->reset();
    adoptSharedOptions();
    try {
        parser.parse(*builder_);  // the outcome is not consulted: a partial tree is still a result
    } catch (...) {
        builder_->reset();
        throw;
    }
    return builder_->finish();
}

std::optional<Dictionary> XMLParser::dictionaryWithData(std::string_view bytes) {
    XMLEventSource source(bytes);
    return dictionaryWithParser(source);
}

std::optional<Dictionary> XMLParser::dictionaryWithString(std::string_view string) {
    return dictionaryWithData(string);
}

std::optional<Dictionary> XMLParser::dictionaryWithFile(const std::string& path) {
    std::optional<std::string> bytes = detail::readWholeFile(path);
    if (!bytes) return std::nullopt;
    return dictionaryWithData(*bytes);
}

const std::optional<Dictionary>& detail::XMLTreeBuilder::root() const {
    materialize();
    return root_;
}

void detail::XMLTreeBuilder::setRoot(std::optional<Dictionary> root) {
    materialize();
    root_ = std::move(root);
}

std::optional<Array> detail::XMLTreeBuilder::stack() const {
    materialize();
    if (!stackSet_ && stack_.empty()) return std::nullopt;
    Array a;
    a.reserve(stack_.size());
    for (const Dictionary& d : stack_) a.push_back(d);
    return a;
}

void detail::XMLTreeBuilder::setStack(const std::optional<Array>& stack) {
    materialize();
    stack_.clear();
    stackSet_ = stack.has_value();
    if (!stack) return;
    for (const Value& v : *stack)
        if (v.isDictionary()) stack_.push_back(v.asDictionary());
}

std::optional<std::string> detail::XMLTreeBuilder::text() const {
    if (!textPending_) return std::nullopt;
    return std::string(text_.view());
}

void detail::XMLTreeBuilder::setText(std::optional<std::string> text) {
    textPending_ = text.has_value();
    text_.clear();
    if (text) text_.append(*text);
}

std::pair<std::size_t, std::size_t> detail::XMLTreeBuilder::runRange() const noexcept {
    if (options.trimWhiteSpace) return trimmedRange(text_.view());
    return {0, text_.size()};
}

void detail::XMLTreeBuilder::endText() {
    if (!textPending_) return;
    textPending_ = false;
    auto [b, e] = runRange();
    if (b == e || (!deferred_ && stack_.empty())) {
        text_.clear();
        return;
    }
    materialize();
    Value run = text_.take(b, e);
    Dictionary& top = stack_.back();
    Value* entry = top.find(kText);
    if (!entry) {
        top.append(kText, std::move(run));
    } else if (entry->isArray()) {
        entry->asArray().push_back(std::move(run));
    } else {
        Array runs;
        runs.reserve(2);
        runs.push_back(std::move(*entry));
        runs.push_back(std::move(run));
        *entry = Value(std::move(runs));
    }
}

Value detail::XMLNameTable::operator()(std::string_view name) {
    if (auto known = names_.find(name); known != names_.end()) return known->second;
    if (DecodeBudget* budget = DecodeBudget::current()) budget->charge(kNameEntryBytes);
    Value shared(name);
    names_.emplace(shared.asString(), shared);
    return shared;
}

void detail::XMLTreeBuilder::appendShared(Dictionary& node, std::string_view key, Value value) const {
    ValueAccess::appendEntry(node, names_(key), std::move(value));
}

void detail::XMLTreeBuilder::setNamed(Dictionary& node, std::string_view key, Value value) const {
    if (Value* entry = node.find(key))
        *entry = std::move(value);
    else
        appendNamed(node, key, [&] { return std::move(value); });
}

void detail::XMLTreeBuilder::insertChild(Dictionary& parent, std::string_view name, Value child) const {
    Value* entry = parent.find(name);
    if (!entry) {
        appendNamed(parent, name,
                    [&] { return options.alwaysUseArrays ? Value(Array{std::move(child)}) : std::move(child); });
    } else if (entry->isArray()) {
        entry->asArray().push_back(std::move(child));
    } else {
        Array siblings;
        siblings.reserve(4);
        siblings.push_back(std::move(*entry));
        siblings.push_back(std::move(child));
        *entry = Value(std::move(siblings));
    }
}

// A node for an element about to open at the current depth, with room for
// the known entries and as many more as the last two nodes of that name at
// that depth both ended with (one more while there are none): repeated
// records then take one block each, sized right, instead of a block and a
// heap array. Taking the smaller of two keeps an odd large sibling from
// making the next ones large too.
Dictionary detail::XMLTreeBuilder::newNode(std::string_view name, std::size_t known) const {
    const std::size_t depth = stack_.size();
    std::size_t room = known + 1;
    if (depth < kShapeDepths) {
        if (shapes_.size() <= depth) shapes_.resize(depth + 1);
        Shape& shape = shapes_[depth];
        if (shape.name != name) {
            shape.name.assign(name);
            shape.last = shape.before = Shape::kUnknown;
        } else if (shape.last != Shape::kUnknown) {
            room = std::max<std::size_t>(known, std::min(shape.last, shape.before));
        }
    }
    return detail::ValueAccess::dictionaryWithRoom(room);
}

// Makes the deferred element the node it would have been from its start.
void detail::XMLTreeBuilder::materialize() const {
    if (!deferred_) return;
    deferred_ = false;
    Dictionary node = newNode(deferredName_, options.nodeNameMode == 1 ? 1 : 0);
    if (options.nodeNameMode == 1) node.append(kName, nameValue(deferredName_));
    insertChild(stack_.back(), deferredName_, Value(node));
    stack_.push_back(std::move(node));
}

void detail::XMLTreeBuilder::didStartElement(std::string_view elementName, std::span<const XMLAttribute> attributes) {
    endText();
    materialize();                        // it has a child now
    if (root_ && stack_.empty()) return;  // a second root from a hand-driven source
    if (detail::DecodeBudget* budget = detail::DecodeBudget::current()) budget->checkDepth(stack_.size() + 1);
    bool storesAttributes = !attributes.empty() && options.attributesMode >= 0 && options.attributesMode <= 2;
    if (root_ && !storesAttributes) {
        deferred_ = true;
        deferredName_.assign(elementName);
        return;
    }
    const bool named = options.nodeNameMode == 1 || (options.nodeNameMode == 0 && !root_);
    const std::size_t attributeEntries = !storesAttributes ? 0 : options.attributesMode == 1 ? 1 : attributes.size();
    Dictionary node = newNode(elementName, (named ? 1 : 0) + attributeEntries);
    if (named) node.append(kName, nameValue(elementName));
    if (!attributes.empty()) {
        switch (options.attributesMode) {
            case 2:
                node.reserve(node.size() + attributes.size());
                for (const XMLAttribute& a : attributes) setNamed(node, a.name, Value(a.value));
                break;
            case 1: {
                Dictionary map = detail::ValueAccess::dictionaryWithRoom(attributes.size());
                for (const XMLAttribute& a : attributes) setNamed(map, a.name, Value(a.value));
                node.set(kAttributes, Value(std::move(map)));
                break;
            }
            case 0:
                node.reserve(node.size() + attributes.size());
                for (const XMLAttribute& a : attributes) {
                    keyBuffer_.assign(1, '_');
                    keyBuffer_.append(a.name);
                    // Attribute names are unique, so only "_name" can meet a key already there.
                    if (a.name == "_name")
                        setNamed(node, keyBuffer_, Value(a.value));
                    else
                        appendNamed(node, keyBuffer_, [&] { return Value(a.value); });
                }
                break;
            default:
                break;
        }
    }

    if (root_) {
        insertChild(stack_.back(), elementName, Value(node));
        stack_.push_back(std::move(node));
        return;
    }
    if (options.wrapRootNode) {
        Dictionary wrapper;
        appendNamed(wrapper, elementName, [&] { return Value(node); });
        stack_.push_back(wrapper);
        root_ = std::move(wrapper);
    } else {
        root_ = node;
    }
    stackSet_ = true;
    stack_.push_back(std::move(node));
}

void detail::XMLTreeBuilder::didEndElement(std::string_view) {
    if (deferred_) {
        // Nothing was stored in it, so its only content is the pending run.
        auto [b, e] = textPending_ ? runRange() : std::pair<std::size_t, std::size_t>{0, 0};
        bool hasText = b != e;
        Dictionary& parent = stack_.back();
        if (hasText && options.collapseTextNodes) {
            insertChild(parent, deferredName_, text_.take(b, e));
        } else if (!hasText && options.stripEmptyNodes) {
            // As if it had been added and removed again: a name already
            // present is left as an array.
            Value* entry = parent.find(deferredName_);
            if (!entry) {
                if (options.alwaysUseArrays) appendNamed(parent, deferredName_, [] { return Value(Array{}); });
            } else if (!entry->isArray()) {
                *entry = Value(Array{std::move(*entry)});
            }
        } else {
            Dictionary node = detail::ValueAccess::dictionaryWithRoom((options.nodeNameMode == 1 ? 1 : 0) + 1);
            if (options.nodeNameMode == 1) node.append(kName, nameValue(deferredName_));
            if (hasText)
                node.append(kText, text_.take(b, e));
            else if (!options.collapseTextNodes && !options.stripEmptyNodes)
                node.append(kText, Value(""));
            insertChild(parent, deferredName_, Value(std::move(node)));
        }
        text_.clear();
        textPending_ = false;
        deferred_ = false;
        return;
    }
    endText();
    if (stack_.empty()) return;  // unbalanced events from a hand-driven source
    if (const std::size_t depth = stack_.size() - 1; depth < shapes_.size()) {
        Shape& shape = shapes_[depth];
        shape.before = shape.last;
        shape.last = static_cast<std::uint32_t>(stack_.back().size());
    }
    Dictionary node = std::move(stack_.back());
    stack_.pop_back();
    if (hasContentBesidesText(node)) return;

    Dictionary* parent = stack_.empty() ? nullptr : &stack_.back();
    std::string name;
    if (const Value* n = node.find(kName)) {
        name = n->isString() ? std::string(n->asString()) : n->description();
    } else {
        if (!parent) return;
        // The open node sits in its parent under its element name, either
        // itself or as the last element of that name's array; matching on
        // that alone keeps this independent of the number of siblings.
        bool found = false;
        for (const DictionaryEntry& e : *parent) {
            const Value& v = e.value();
            if ((v.isDictionary() && v.asDictionary().isSame(node)) ||
                (v.isArray() && !v.asArray().empty() && v.asArray().back().isSame(Value(node)))) {
                name = e.key();
                found = true;
                break;
            }
        }
        if (!found) return;
    }

    Value text = XMLTree::innerText(node);
    if (!text.isNull() && options.collapseTextNodes) {
        if (!parent) return;
        Value* entry = parent->find(name);
        if (entry && entry->isArray()) {
            Array a = entry->asArray();
            if (!a.empty()) a.back() = std::move(text);
        } else {
            parent->set(name, std::move(text));
        }
        return;
    }
    if (text.isNull() && options.stripEmptyNodes) {
        if (!parent) return;
        Value* entry = parent->find(name);
        if (entry && entry->isArray())
            entry->asArray().pop_back();  // the array itself stays, even when empty
        else
            parent->remove(name);
        return;
    }
    if (text.isNull() && !options.collapseTextNodes && !options.stripEmptyNodes) node.set(kText, Value(""));
}

void detail::XMLTreeBuilder::foundCDATA(std::string_view block) {
    if (detail::isValidUTF8(block)) addText(block);
}

void detail::XMLTreeBuilder::foundComment(std::string_view comment) {
    if (!options.preserveComments) return;
    materialize();
    if (stack_.empty()) return;
    Dictionary& top = stack_.back();
    Value* entry = top.find(kComments);
    if (entry && entry->isArray())
        entry->asArray().push_back(Value(comment));
    else
        top.set(kComments, Value(Array{Value(comment)}));
}

// The parse state and event handlers a host may drive by hand.
const std::optional<Dictionary>& XMLParser::root() const { return builder_->root(); }
void XMLParser::setRoot(std::optional<Dictionary> root) { builder_->setRoot(std::move(root)); }
std::optional<Array> XMLParser::stack() const { return builder_->stack(); }
void XMLParser::setStack(const std::optional<Array>& stack) { builder_->setStack(stack); }
std::optional<std::string> XMLParser::text() const { return builder_->text(); }
void XMLParser::setText(std::optional<std::string> text) { builder_->setText(std::move(text)); }
void XMLParser::endText() { builder_->endText(); }
void XMLParser::addText(std::string_view text) { builder_->addText(text); }
void XMLParser::didStartElement(std::string_view elementName, std::span<const XMLAttribute> attributes) {
    builder_->didStartElement(elementName, attributes);
}
void XMLParser::didEndElement(std::string_view elementName) { builder_->didEndElement(elementName); }
void XMLParser::foundCharacters(std::string_view characters) { builder_->addText(characters); }
void XMLParser::foundCDATA(std::string_view block) { builder_->foundCDATA(block); }
void XMLParser::foundComment(std::string_view comment) { builder_->foundComment(comment); }

Value XMLParser::nameForNode(const Dictionary& node, const std::optional<Dictionary>& inDictionary) {
    if (const Value* n = node.find(kName)) return *n;
    if (!inDictionary) return Value();
    Value self(node);
    for (const DictionaryEntry& e : *inDictionary) {
        const Value& v = e.value();
        if (v.isSame(self)) return Value(e.key());
        if (v.isArray()) {
            Array a = v.asArray();
            if (!a.empty() && a.back().isSame(self)) return Value(e.key());
            for (const Value& item : a)
                if (item.isSame(self)) return Value(e.key());
        }
    }
    return Value();
}

}  // namespace orvalis
