#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <Orvalis/Utils/detail/XMLChars.h>

#include <Orvalis/Foundation/Value/detail/UTF8.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace orvalis {
namespace {

constexpr std::string_view kName = "__name";
constexpr std::string_view kAttributes = "__attributes";
constexpr std::string_view kText = "__text";
constexpr std::string_view kComments = "__comments";

bool isReserved(std::string_view k) noexcept { return k == kComments || k == kText || k == kName; }
bool isChildKey(std::string_view k) noexcept { return k.empty() || k[0] != '_'; }

// Calls f(name, value, key) for each attribute, in the order attributes()
// lists them; key is the tree's key the attribute comes from.
template <class F>
void forEachAttribute(const Dictionary& node, F&& f) {
    if (const Value* grouped = node.find(kAttributes); grouped && grouped->isDictionary()) {
        for (const DictionaryEntry& e : grouped->asDictionary()) f(e.key(), e.value(), e.key());
        return;
    }
    for (const DictionaryEntry& e : node) {
        std::string_view k = e.key();
        if (!isChildKey(k) && !isReserved(k)) f(k.substr(1), e.value(), k);
    }
}

void appendEncoded(std::string& out, std::string_view s) {
    std::size_t plain = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char* entity;
        switch (s[i]) {
            case '&':
                entity = "&amp;";
                break;
            case '<':
                entity = "&lt;";
                break;
            case '>':
                entity = "&gt;";
                break;
            case '"':
                entity = "&quot;";
                break;
            case '\'':
                entity = "&apos;";
                break;
            default:
                continue;
        }
        out.append(s.data() + plain, i - plain);
        out.append(entity);
        plain = i + 1;
    }
    out.append(s.data() + plain, s.size() - plain);
}

// A leaf's text: a string as itself, anything else by its description.
void appendEncodedText(std::string& out, const Value& v) {
    if (v.isString())
        appendEncoded(out, v.asString());
    else
        appendEncoded(out, v.description());
}

// The text part of a node's content; runs of an array are joined by "\n".
void appendEncodedInnerText(std::string& out, const Value& text) {
    if (!text.isArray()) {
        appendEncodedText(out, text);
        return;
    }
    bool first = true;
    for (const Value& run : text.asArray()) {
        if (!first) out += '\n';
        first = false;
        appendEncodedText(out, run);
    }
}

bool textPartIsEmpty(const Value& text) {
    if (text.isString()) return text.asString().empty();
    if (!text.isArray()) return false;
    Array a = text.asArray();
    return a.empty() || (a.size() == 1 && a[0].isString() && a[0].asString().empty());
}

// Only arrays can write as nothing: an empty one, or one holding a single
// such array.
bool writesNothing(const Value& v) {
    const Value* p = &v;
    while (p->isArray()) {
        Array a = p->asArray();
        if (a.empty()) return true;
        if (a.size() != 1) return false;
        p = &a[0];  // stays alive: the tree holds it
    }
    return false;
}

// Events nobody needs: for reading written text back as a check.
struct Discard : XMLEventDelegate {
    void didStartElement(std::string_view, std::span<const XMLAttribute>) override {}
    void didEndElement(std::string_view) override {}
    void foundCharacters(std::string_view) override {}
    void foundCDATA(std::string_view) override {}
    void foundComment(std::string_view) override {}
    bool wantsEndElementName() const override { return false; }
};

// Writes XML with an explicit stack, so any depth of nesting is safe. Given
// a place for an error, it checks every name and text as it writes it and
// stops at the first that would not make XML 1.0.
class XMLWriter {
public:
    explicit XMLWriter(std::string& out, std::optional<XMLWriteError>* error = nullptr) : out_(out), error_(error) {}

    void element(const Value& v, std::string_view name) {
        ops_.push_back({Op::Element, &v, name});
        run();
    }
    void inner(const Value& node) {
        ops_.push_back({Op::Inner, &node, {}});
        run();
    }

private:
    struct Op {
        enum Kind { Element, Inner, Close, Newline, Comment, Text } kind;
        const Value* value;
        std::string_view name;
    };

    bool failed() const { return error_ && *error_; }
    void fail(std::string_view item, std::string reason) {
        *error_ = XMLWriteError{std::string(item), std::move(reason)};
        ops_.clear();
    }
    bool checkName(std::string_view name, std::string_view key, const char* what) {
        if (!error_) return true;
        const char* why = !detail::isXMLName(name) ? "is not an XML name"
                          : !readerReadsName(name) ? "is an XML name our reader cannot read back"
                                                   : nullptr;
        if (!why) return true;
        fail(key, name == key ? std::string(why) : why + (" (as " + std::string(what) + " \"" + std::string(name) + "\")"));
        return false;
    }
    // expat reads names by the older (fourth edition) classes, which leave out
    // some later ones (U+212C, past U+FFFF): what it cannot read is refused too.
    static bool readerReadsName(std::string_view name) {
        if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            return true;  // both editions agree on ASCII
        const std::string doc = "<" + std::string(name) + "/>";
        XMLEventSource reader(doc);
        Discard discard;
        return reader.parse(discard) && reader.result().ok();
    }
    bool checkText(std::string_view text, const char* what) {
        if (!error_) return true;
        if (std::size_t at = detail::firstNonXMLChar(text); at != std::string_view::npos) {
            fail(text, "holds a character XML cannot carry (" + std::string(what) + ", byte " + std::to_string(at) + ")");
            return false;
        }
        return true;
    }
    // A leaf's text as appendEncodedText writes it, checked.
    bool checkLeaf(const Value& v, const char* what) {
        if (!error_) return true;
        return v.isString() ? checkText(v.asString(), what) : checkText(v.description(), what);
    }
    bool checkInnerText(const Value& text) {
        if (!error_ || !text.isArray()) return checkLeaf(text, "text");
        for (const Value& run : text.asArray())
            if (!checkLeaf(run, "text")) return false;
        return true;
    }
    bool checkComment(const Value& v) {
        if (!checkLeaf(v, "comment")) return false;
        if (!error_) return true;
        std::string text = v.isString() ? std::string(v.asString()) : v.description();
        if (text.find("--") != std::string::npos || (!text.empty() && text.back() == '-')) {
            fail(text, "is a comment holding \"--\" or ending in \"-\"");
            return false;
        }
        return true;
    }

    void run() {
        while (!ops_.empty()) {
            Op op = ops_.back();
            ops_.pop_back();
            switch (op.kind) {
                case Op::Element:
                    writeElement(*op.value, op.name);
                    break;
                case Op::Inner:
                    pushInner(op.value->asDictionary());
                    break;
                case Op::Close:
                    out_ += "</";
                    out_ += op.name;
                    out_ += '>';
                    break;
                case Op::Newline:
                    out_ += '\n';
                    break;
                case Op::Comment:
                    if (!checkComment(*op.value)) break;
                    out_ += "<!--";
                    appendEncodedText(out_, *op.value);
                    out_ += "-->";
                    break;
                case Op::Text:
                    if (!checkInnerText(*op.value)) break;
                    appendEncodedInnerText(out_, *op.value);
                    break;
            }
        }
    }

    void writeElement(const Value& v, std::string_view name) {
        if (v.isArray()) {
            Array a = v.asArray();
            for (std::size_t i = a.size(); i-- > 0;) {
                ops_.push_back({Op::Element, &a[i], name});
                if (i) ops_.push_back({Op::Newline, nullptr, {}});
            }
            return;
        }
        if (!checkName(name, name, "element name")) return;
        if (!v.isDictionary()) {
            if (!checkLeaf(v, "text")) return;
            out_ += '<';
            out_ += name;
            out_ += '>';
            appendEncodedText(out_, v);
            out_ += "</";
            out_ += name;
            out_ += '>';
            return;
        }
        Dictionary node = v.asDictionary();
        out_ += '<';
        out_ += name;
        forEachAttribute(node, [&](std::string_view attribute, const Value& value, std::string_view key) {
            if (failed() || !checkName(attribute, key, "attribute name") || !checkLeaf(value, "attribute value"))
                return;
            out_ += ' ';
            appendEncoded(out_, attribute);
            out_ += "=\"";
            appendEncodedText(out_, value);
            out_ += '"';
        });
        if (failed()) return;
        if (innerIsEmpty(node)) {
            out_ += "/>";
            return;
        }
        out_ += '>';
        ops_.push_back({Op::Close, nullptr, name});
        ops_.push_back({Op::Inner, &v, {}});
    }

    // Comments, then children, then text; joined by "\n". Pushed in reverse.
    void pushInner(const Dictionary& node) {
        std::size_t start = ops_.size();
        auto part = [&](Op op) {
            if (ops_.size() > start) ops_.push_back({Op::Newline, nullptr, {}});
            ops_.push_back(op);
        };
        if (const Value* c = node.find(kComments)) {
            if (c->isArray()) {
                for (const Value& item : c->asArray()) part({Op::Comment, &item, {}});
            } else if (!c->isNull()) {
                part({Op::Comment, c, {}});
            }
        }
        for (const DictionaryEntry& e : node)
            if (isChildKey(e.key())) part({Op::Element, &e.value(), e.key()});
        if (const Value* t = node.find(kText); t && !t->isNull()) part({Op::Text, t, {}});
        std::reverse(ops_.begin() + static_cast<std::ptrdiff_t>(start), ops_.end());
    }

    static bool innerIsEmpty(const Dictionary& node) {
        std::size_t parts = 0;
        bool lastEmpty = false;
        if (const Value* c = node.find(kComments)) {
            if (c->isArray())
                parts += c->asArray().size();
            else if (!c->isNull())
                ++parts;
        }
        for (const DictionaryEntry& e : node) {
            if (!isChildKey(e.key())) continue;
            if (++parts > 1) return false;
            lastEmpty = writesNothing(e.value());
        }
        if (const Value* t = node.find(kText); t && !t->isNull()) {
            ++parts;
            lastEmpty = textPartIsEmpty(*t);
        }
        return parts == 0 || (parts == 1 && lastEmpty);
    }

    std::string& out_;
    std::optional<XMLWriteError>* error_;
    std::vector<Op> ops_;
};

}  // namespace

std::string XMLParser::XMLStringForNode(const Value& node, std::string_view nodeName) {
    std::string out;
    XMLWriter(out).element(node, nodeName);
    return out;
}

namespace XMLTree {

std::optional<Dictionary> attributes(const Dictionary& node) {
    if (const Value* grouped = node.find(kAttributes); grouped && grouped->isDictionary()) {
        Dictionary map = grouped->asDictionary();
        if (map.empty()) return std::nullopt;
        return map;
    }
    Dictionary result;
    forEachAttribute(node, [&](std::string_view k, const Value& v, std::string_view) { result.set(k, v); });
    if (result.empty()) return std::nullopt;
    return result;
}

std::optional<Dictionary> childNodes(const Dictionary& node) {
    Dictionary result;
    for (const DictionaryEntry& e : node)
        if (isChildKey(e.key())) result.append(e.key(), e.value());
    if (result.empty()) return std::nullopt;
    return result;
}

Value comments(const Dictionary& node) { return node.objectForKey(kComments); }

Value nodeName(const Dictionary& node) { return node.objectForKey(kName); }

Value innerText(const Dictionary& node) {
    const Value* text = node.find(kText);
    if (!text) return Value();
    if (!text->isArray()) return *text;
    std::string joined;
    bool first = true;
    for (const Value& run : text->asArray()) {
        if (!first) joined += '\n';
        first = false;
        if (run.isString())
            joined.append(run.asString());
        else
            joined += run.description();
    }
    return Value(joined);
}

Value valueForKeyPath(const Dictionary& node, std::string_view keyPath) {
    std::vector<std::string_view> components;
    for (std::size_t start = 0;;) {
        std::size_t dot = keyPath.find('.', start);
        components.push_back(
            keyPath.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    // Each job walks from a value at a component index and stores what it
    // finds in its slot; arrays fan out into new jobs instead of recursing.
    struct Job {
        Value current;
        std::size_t index;
        Value* slot;
    };
    Value result;
    std::vector<Job> jobs;
    jobs.push_back({Value(node), 0, &result});
    while (!jobs.empty()) {
        Job job = std::move(jobs.back());
        jobs.pop_back();
        Value cur = std::move(job.current);
        std::size_t i = job.index;
        while (i < components.size()) {
            std::string_view key = components[i];
            if (cur.isDictionary() && (key.empty() || key[0] != '@')) {
                const Value* next = cur.asDictionary().find(key);
                cur = next ? *next : Value();
                ++i;
            } else if (cur.isArray()) {
                Array src = cur.asArray();
                Array mapped;
                mapped.reserve(src.size());
                for (std::size_t k = 0; k < src.size(); ++k) mapped.push_back(Value());
                // The slots stay put: the new array is complete and never grows.
                for (std::size_t k = src.size(); k-- > 0;) jobs.push_back({src[k], i, &mapped[k]});
                cur = Value(std::move(mapped));
                break;
            } else {
                cur = Value();  // null, a leaf, or an "@" operator: nothing
                break;
            }
        }
        *job.slot = std::move(cur);
    }
    return result;
}

std::optional<Array> arrayValueForKeyPath(const Dictionary& node, std::string_view keyPath) {
    Value v = valueForKeyPath(node, keyPath);
    if (v.isNull()) return std::nullopt;
    if (v.isArray()) return v.asArray();
    return Array{v};
}

namespace {
Value firstIfArray(Value v) {
    if (!v.isArray()) return v;
    Array a = v.asArray();
    return a.empty() ? Value() : a[0];
}
}  // namespace

Value stringValueForKeyPath(const Dictionary& node, std::string_view keyPath) {
    Value v = firstIfArray(valueForKeyPath(node, keyPath));
    if (v.isDictionary()) return innerText(v.asDictionary());
    return v;
}

Value dictionaryValueForKeyPath(const Dictionary& node, std::string_view keyPath) {
    Value v = firstIfArray(valueForKeyPath(node, keyPath));
    if (v.isString()) return Value(Dictionary{{kText, v}});
    return v;
}

std::optional<Dictionary> dictionaryWithXMLParser(XMLEventSource& parser) {
    XMLParser copy(XMLParser::sharedInstance());
    return copy.dictionaryWithParser(parser);
}

std::optional<Dictionary> dictionaryWithXMLData(std::string_view data) {
    XMLParser copy(XMLParser::sharedInstance());
    return copy.dictionaryWithData(data);
}

std::optional<Dictionary> dictionaryWithXMLString(std::string_view string) {
    XMLParser copy(XMLParser::sharedInstance());
    return copy.dictionaryWithString(string);
}

std::optional<Dictionary> dictionaryWithXMLFile(const std::string& path) {
    XMLParser copy(XMLParser::sharedInstance());
    return copy.dictionaryWithFile(path);
}

Parsed<Dictionary> parseXMLData(std::string_view data) {
    XMLParser copy(XMLParser::sharedInstance());
    XMLEventSource source(data);
    Parsed<Dictionary> parsed;
    parsed.value = copy.dictionaryWithParser(source);
    parsed.result = source.result();
    return parsed;
}

Parsed<Dictionary> parseXMLString(std::string_view string) { return parseXMLData(string); }

Parsed<Dictionary> parseXMLFile(const std::string& path) {
    std::optional<std::string> bytes = detail::readWholeFile(path);
    if (!bytes) {
        Parsed<Dictionary> unread;
        unread.result.status = ParseStatus::Unreadable;
        unread.result.description = "cannot read the file";
        return unread;
    }
    return parseXMLData(*bytes);
}

std::string XMLString(const Dictionary& node) {
    if (node.size() == 1 && !node.contains(kName)) return innerXML(node);
    Value name = nodeName(node);
    std::string nameText = name.isNull() ? std::string("root") : name.description();
    return XMLParser::XMLStringForNode(Value(node), nameText);
}

std::optional<std::string> wellFormedXMLString(const Dictionary& node, std::optional<XMLWriteError>& error) {
    error.reset();
    std::string out;
    const Value holder(node);
    if (node.size() == 1 && !node.contains(kName)) {
        const DictionaryEntry& only = *node.begin();
        if (!isChildKey(only.key())) {
            error = XMLWriteError{std::string(only.key()), "is the only entry but not an element"};
            return std::nullopt;
        }
        XMLWriter(out, &error).inner(holder);
    } else {
        const Value* name = node.find(kName);
        if (name && !name->isNull() && !name->isString()) {
            error = XMLWriteError{name->description(), "is a \"__name\" that is not a string"};
            return std::nullopt;
        }
        XMLWriter(out, &error).element(holder, name && name->isString() ? name->asString() : "root");
    }
    if (error) return std::nullopt;
    // The checks above keep names and characters right; the shape (one root
    // element, not an array of them or nothing) is confirmed by reading back.
    Discard discard;
    XMLEventSource reader(out);
    if (!reader.parse(discard) || !reader.result().ok()) {
        error = XMLWriteError{std::string(node.begin() != node.end() ? node.begin()->key() : std::string_view()),
                              "does not make one XML element (" + reader.result().message() + ")"};
        return std::nullopt;
    }
    return out;
}

std::string innerXML(const Dictionary& node) {
    std::string out;
    Value holder(node);
    XMLWriter(out).inner(holder);
    return out;
}

std::string XMLEncodedString(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEncoded(out, text);
    return out;
}

std::optional<std::string> firstInvalidName(const Value& tree) {
    if (tree.isArray()) {
        for (const Value& item : tree.asArray()) {
            if (auto bad = firstInvalidName(item)) return bad;
        }
    } else if (tree.isDictionary()) {
        for (const auto& entry : tree.asDictionary()) {
            std::string_view key = entry.key();
            if (key == kName) {
                const Value& name = entry.value();
                if (name.isString() && !detail::isXMLName(name.asString())) return std::string(name.asString());
                if (!name.isString() && !name.isNull()) return name.description();
                continue;
            }
            if (key == kAttributes) {
                if (auto bad = firstInvalidName(entry.value())) return bad;
                continue;
            }
            if (key == kText || key == kComments) continue;  // the tree's own entries
            // Any other "_" key is an attribute named without the first "_".
            if (!detail::isXMLName(key.substr(key.starts_with("_") ? 1 : 0))) return std::string(key);
            if (auto bad = firstInvalidName(entry.value())) return bad;
        }
    }
    return std::nullopt;
}

}  // namespace XMLTree

std::string XMLWriteError::description() const {
    std::string shown;
    for (char c : item.size() > 80 ? item.substr(0, 80) + "..." : item) {
        if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            shown += buf;
        } else {
            shown += c;
        }
    }
    return "\"" + detail::validUTF8Text(shown) + "\" " + reason;
}

}  // namespace orvalis
