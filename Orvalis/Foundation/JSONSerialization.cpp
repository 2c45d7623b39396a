#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/UTF8.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <locale.h>
#include <string>
#include <system_error>
#include <limits>
#include <variant>
#include <vector>

namespace orvalis {
namespace {

// The text of one JSON number (already checked against the grammar): an
// int64_t when it is integral and fits, otherwise the nearest double; no
// value when it is too large for a double. Too small reads as zero.
std::optional<Value> numberValue(std::string_view text) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos) {
        std::int64_t i = 0;
        const auto [end, ec] = std::from_chars(first, last, i);
        if (ec == std::errc() && end == last) return Value(i);
    }
    double d = 0;
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    const auto [end, ec] = std::from_chars(first, last, d);
    if (ec == std::errc() && end == last) return Value(d);
    if (ec != std::errc::result_out_of_range) return std::nullopt;
#endif
    // from_chars reports underflow and overflow alike, and some standard
    // libraries (libc++ 14) have none for double: strtod, in the C locale
    // whatever the host's locale says about decimal points, tells them apart.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    if (cLocale == nullptr) return std::nullopt;
    const std::string copy(text);
    char* stop = nullptr;
    d = strtod_l(copy.c_str(), &stop, cLocale);
    if (stop != copy.c_str() + copy.size() || !std::isfinite(d)) return std::nullopt;
    return Value(d);
}

// SAX handler that builds Values directly (no intermediate DOM). Containers
// are linked into their parent as soon as they open, so the open ones only
// need to be remembered on an explicit stack: no recursion at any depth.
class ValueBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ValueBuilder> {
public:
    bool Null() { return add(Value()); }
    bool Bool(bool b) { return add(Value(b)); }
    bool Int(int i) { return add(Value(i)); }
    bool Uint(unsigned u) { return add(Value(std::int64_t{u})); }
    bool Int64(std::int64_t i) { return add(Value(i)); }
    bool Uint64(std::uint64_t u) {
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return add(Value(static_cast<std::int64_t>(u)));
        return add(Value(static_cast<double>(u)));
    }
    bool Double(double d) { return std::isfinite(d) && add(Value(d)); }
    // Numbers arrive as text and are converted here: RapidJSON 1.1's own
    // full-precision conversion returns wrong values for some inputs (a zero
    // significand with a large negative exponent, "0e-320", gave -2e-137).
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
        const auto v = numberValue(std::string_view(s, n));
        return v && add(*v);
    }
    bool String(const char* s, rapidjson::SizeType n, bool) { return add(Value(std::string_view(s, n))); }
    bool Key(const char* s, rapidjson::SizeType n, bool) {
        key_.assign(s, n);
        return true;
    }
    bool StartObject() {
        if (open_.size() >= JSONSerialization::kMaxDepth) return false;
        Dictionary d;
        if (!add(Value(d))) return false;
        open_.emplace_back(std::in_place_type<Dictionary>, std::move(d));
        return true;
    }
    bool StartArray() {
        if (open_.size() >= JSONSerialization::kMaxDepth) return false;
        Array a;
        if (!add(Value(a))) return false;
        open_.emplace_back(std::in_place_type<Array>, std::move(a));
        return true;
    }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }

    std::optional<Value> take() { return std::move(root_); }

private:
    bool add(Value v) {
        if (open_.empty()) {
            // Only a container may stand at the top level.
            if (root_ || (!v.isArray() && !v.isDictionary())) return false;
            root_ = std::move(v);
            return true;
        }
        auto& top = open_.back();
        if (auto* d = std::get_if<Dictionary>(&top))
            d->set(key_, std::move(v));  // a repeated key keeps its first place and its last value
        else
            std::get<Array>(top).push_back(std::move(v));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    std::optional<Value> root_;
    std::vector<std::variant<Array, Dictionary>> open_;
    std::string key_;
};

bool isJSONSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

template <class Writer>
void writeValue(Writer& w, const Value& top) {
    auto fail = [](const char* why) { throw JSONSerializationError(why); };
    auto scalar = [&](const Value& v) {
        bool ok = true;
        switch (v.kind()) {
            case Value::Kind::Null:
                ok = w.Null();
                break;
            case Value::Kind::Bool:
                ok = w.Bool(v.asBool());
                break;
            case Value::Kind::Integer:
                ok = w.Int64(v.asInteger());
                break;
            case Value::Kind::Double:
                if (!std::isfinite(v.asDouble())) fail("Invalid number value (infinite or NaN) in JSON write");
                ok = w.Double(v.asDouble());
                break;
            case Value::Kind::String: {
                auto s = v.asString();
                if (s.size() > std::numeric_limits<rapidjson::SizeType>::max()) fail("String too long for JSON write");
                ok = isValidUTF8(s) && w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
                break;
            }
            default:
                break;
        }
        if (!ok) fail("Invalid string (not UTF-8) in JSON write");
    };

    // Explicit stack of open containers with the position reached in each.
    struct Frame {
        std::variant<Array, Dictionary> container;
        std::size_t next = 0;
    };
    std::vector<Frame> frames;
    auto open = [&](const Value& v) {
        if (v.isArray()) {
            w.StartArray();
            frames.push_back({v.asArray(), 0});
        } else {
            w.StartObject();
            frames.push_back({v.asDictionary(), 0});
        }
    };
    open(top);
    while (!frames.empty()) {
        Frame& f = frames.back();
        const Value* child;
        if (auto* arr = std::get_if<Array>(&f.container)) {
            if (f.next == arr->size()) {
                w.EndArray();
                frames.pop_back();
                continue;
            }
            child = &(*arr)[f.next++];
        } else {
            const Dictionary& dict = std::get<Dictionary>(f.container);
            if (f.next == dict.size()) {
                w.EndObject();
                frames.pop_back();
                continue;
            }
            const DictionaryEntry& e = dict.begin()[f.next++];
            auto k = e.key();
            if (!isValidUTF8(k) || !w.Key(k.data(), static_cast<rapidjson::SizeType>(k.size())))
                fail("Invalid key (not UTF-8) in JSON write");
            child = &e.value();
        }
        if (child->isArray() || child->isDictionary())
            open(*child);  // may reallocate frames: f is not used again
        else
            scalar(*child);
    }
}

}  // namespace

std::optional<Value> JSONSerialization::JSONObjectWithData(std::string_view data) {
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                                rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::MemoryStream in(data.data(), data.size());
    ValueBuilder builder;
    rapidjson::Reader reader;
    if (reader.Parse<kFlags>(in, builder).IsError()) return std::nullopt;
    // The reader stops after the document; only white space may follow (a
    // NUL byte included, which the stream would otherwise take for the end).
    for (std::size_t i = in.Tell(); i < data.size(); ++i)
        if (!isJSONSpace(data[i])) return std::nullopt;
    return builder.take();
}

std::string JSONSerialization::dataWithJSONObject(const Value& object, bool prettyPrinted) {
    if (!object.isArray() && !object.isDictionary())
        throw JSONSerializationError("Invalid top-level type in JSON write");
    rapidjson::StringBuffer buffer;
    if (prettyPrinted) {
        rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
        w.SetIndent(' ', 2);
        writeValue(w, object);
    } else {
        rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
        writeValue(w, object);
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace orvalis
