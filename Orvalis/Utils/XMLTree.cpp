#include <Orvalis/Foundation/detail/File.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>

#include <algorithm>
#include <vector>

namespace orvalis {
namespace {

constexpr std::string_view kName = "__name";
constexpr std::string_view kAttributes = "__attributes";
constexpr std::string_view kText = "__text";
constexpr std::string_view kComments = "__comments";

bool isReserved(std::string_view k) noexcept { return k == kComments || k == kText || k == kName; }
bool isChildKey(std::string_view k) noexcept { return k.empty() || k[0] != '_'; }

// Calls f(name, value) for each attribute, in the order attributes() lists them.
template <class F>
void forEachAttribute(const Dictionary& node, F&& f) {
    if (const Value* grouped = node.find(kAttributes); grouped && grouped->isDictionary()) {
        for (const DictionaryEntry& e : grouped->asDictionary()) f(e.key(), e.value());
        return;
    }
    for (const DictionaryEntry& e : node) {
        std::string_view k = e.key();
        if (!isChildKey(k) && !isReserved(k)) f(k.substr(1), e.value());
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

// Writes XML with an explicit stack, so any depth of nesting is safe.
class XMLWriter {
public:
    explicit XMLWriter(std::string& out) : out_(out) {}

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
                    out_ += "<!--";
                    appendEncodedText(out_, *op.value);
                    out_ += "-->";
                    break;
                case Op::Text:
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
        if (!v.isDictionary()) {
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
        forEachAttribute(node, [&](std::string_view key, const Value& value) {
            out_ += ' ';
            appendEncoded(out_, key);
            out_ += "=\"";
            appendEncodedText(out_, value);
            out_ += '"';
        });
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
    forEachAttribute(node, [&](std::string_view k, const Value& v) { result.set(k, v); });
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

std::optional<Dictionary> dictionaryWithXMLData(std::string_view data, std::optional<XMLParseError>& error) {
    error.reset();
    XMLParser copy(XMLParser::sharedInstance());
    XMLEventSource source(data);
    std::optional<Dictionary> tree = copy.dictionaryWithParser(source);
    error = source.error();
    return tree;
}

std::optional<Dictionary> dictionaryWithXMLString(std::string_view string, std::optional<XMLParseError>& error) {
    return dictionaryWithXMLData(string, error);
}

std::optional<Dictionary> dictionaryWithXMLFile(const std::string& path, std::optional<XMLParseError>& error) {
    error.reset();
    std::optional<std::string> bytes = detail::readWholeFile(path);
    if (!bytes) return std::nullopt;
    return dictionaryWithXMLData(*bytes, error);
}

std::string XMLString(const Dictionary& node) {
    if (node.size() == 1 && !node.contains(kName)) return innerXML(node);
    Value name = nodeName(node);
    std::string nameText = name.isNull() ? std::string("root") : name.description();
    return XMLParser::XMLStringForNode(Value(node), nameText);
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

namespace {

// An XML name (XML 1.0 fifth edition), checked on its UTF-8 bytes: any
// non-ASCII character is taken as a name character.
bool isXMLName(std::string_view name) {
    auto start = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
    };
    auto rest = [&](unsigned char c) { return start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; };
    if (name.empty() || !start(static_cast<unsigned char>(name[0]))) return false;
    for (unsigned char c : name.substr(1)) {
        if (!rest(c)) return false;
    }
    return true;
}

}  // namespace

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
                if (name.isString() && !isXMLName(name.asString())) return std::string(name.asString());
                continue;
            }
            if (key == kAttributes) {
                if (auto bad = firstInvalidName(entry.value())) return bad;
                continue;
            }
            if (key.starts_with("__")) continue;  // the tree's own entries
            if (!isXMLName(key.substr(key.starts_with("_") ? 1 : 0))) return std::string(key);
            if (auto bad = firstInvalidName(entry.value())) return bad;
        }
    }
    return std::nullopt;
}

}  // namespace XMLTree
}  // namespace orvalis
