#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Value/detail/UTF8.h>
#include <Orvalis/Foundation/Value/detail/DecodeBudget.h>
#include <Orvalis/Foundation/Value/detail/ValueAccess.h>
#include <iconv.h>
#include <nlohmann/json.hpp>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>
#include <system_error>
#include <limits>
#include <map>
#include <variant>
#include <vector>

namespace orvalis {
namespace {

using detail::ValueAccess;

// A decimal number reduced to its significant digits (no leading or
// trailing zeros) and the power of ten of the last one: two texts stand for
// the same number exactly when these match.
struct Decimal {
    bool negative = false;
    std::string digits;
    long long exponent = 0;
    bool operator==(const Decimal&) const = default;
};

Decimal decimalOf(std::string_view t) {
    Decimal d;
    std::size_t i = 0;
    if (i < t.size() && t[i] == '-') {
        d.negative = true;
        ++i;
    }
    long long fraction = 0;
    bool inFraction = false;
    for (; i < t.size() && t[i] != 'e' && t[i] != 'E'; ++i) {
        if (t[i] == '.') {
            inFraction = true;
            continue;
        }
        if (d.digits.empty() && t[i] == '0') {
            if (inFraction) ++fraction;  // leading zeros after the point still shift the digits
            continue;
        }
        d.digits += t[i];
        if (inFraction) ++fraction;
    }
    long long e = 0;
    if (i < t.size()) {
        std::string_view rest = t.substr(i + 1);
        if (!rest.empty() && rest[0] == '+') rest.remove_prefix(1);
        // Exponents beyond this have no exact double anyway; clamping keeps the arithmetic safe.
        if (std::from_chars(rest.data(), rest.data() + rest.size(), e).ec != std::errc()) e = rest[0] == '-' ? -100000 : 100000;
        e = std::clamp(e, -100000LL, 100000LL);  // e - fraction must not overflow at LLONG_MIN either
    }
    std::size_t trailing = 0;
    while (trailing < d.digits.size() && d.digits[d.digits.size() - 1 - trailing] == '0') ++trailing;
    d.digits.resize(d.digits.size() - trailing);
    d.exponent = e - fraction + static_cast<long long>(trailing);
    if (d.digits.empty()) d = Decimal{};  // every zero is the same zero
    return d;
}

// Whether d's shortest text stands for exactly the number text does. Up to
// 15 significant digits always survive a double, so those skip the check.
bool doubleHoldsExactly(double d, std::string_view text) {
    std::size_t significant = 0;
    bool started = false;
    for (char c : text) {
        if (c == 'e' || c == 'E') break;
        if (c >= '1' && c <= '9') started = true;
        if (started && c >= '0' && c <= '9') ++significant;
    }
    if (significant <= 15) return true;
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return decimalOf(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf))) == decimalOf(text);
}

// The text of one JSON number (already checked against the grammar): an
// int64_t when it is integral and fits, otherwise the nearest double, which
// also keeps the text when the double may not stand for it exactly. An
// integer beyond int64_t always keeps its digits (a double holding 2^64 would
// be written back as 1.8446744073709552e19); a number beyond the double range
// keeps its text and reads as an infinity. Too small reads as zero (with its text).
std::optional<Value> numberValue(std::string_view text) {
    const char* first = text.data();
    const char* last = first + text.size();
    const bool integral = text.find_first_of(".eE") == std::string_view::npos;
    if (integral) {
        std::int64_t i = 0;
        const auto [end, ec] = std::from_chars(first, last, i);
        if (ec == std::errc() && end == last) return Value(i);
    }
    double d = 0;
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    const auto [end, ec] = std::from_chars(first, last, d);
    if (ec == std::errc() && end == last) {
        if (!integral && doubleHoldsExactly(d, text)) return Value(d);
        return ValueAccess::numberWithText(d, text);
    }
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
    if (stop != copy.c_str() + copy.size()) return std::nullopt;
    // Overflow (an infinity), underflow and any inexact number keep their digits.
    if (integral || !std::isfinite(d) || !doubleHoldsExactly(d, text) || (d == 0 && decimalOf(text) != Decimal{}))
        return ValueAccess::numberWithText(d, text);
    return Value(d);
}

// RapidJSON decodes a \u escape of a lone surrogate into the bytes of that
// surrogate (ED A0..BF xx), which are not UTF-8: no face could hand such a
// string over or write it back, so the document is refused as malformed.
// Everything else is already checked UTF-8, so only an ED byte needs a look.
bool holdsSurrogate(const char* s, std::size_t n) noexcept {
    const char* end = s + n;
    for (const char* p = s; (p = static_cast<const char*>(std::memchr(p, 0xED, static_cast<std::size_t>(end - p))));
         ++p) {
        if (end - p >= 2 && (static_cast<unsigned char>(p[1]) & 0xE0) == 0xA0) return true;
    }
    return false;
}

// SAX handler that builds Values directly (no intermediate DOM). Containers
// are linked into their parent as soon as they open, so the open ones only
// need to be remembered on an explicit stack: no recursion at any depth. A
// container starts unborn (no block) and gets its block with its first
// element: an empty one costs only its slot in the parent.
class ValueBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ValueBuilder> {
public:
    bool Null() { return adds(Value()); }
    bool Bool(bool b) { return adds(Value(b)); }
    bool Int(int i) { return adds(Value(i)); }
    bool Uint(unsigned u) { return adds(Value(std::int64_t{u})); }
    bool Int64(std::int64_t i) { return adds(Value(i)); }
    bool Uint64(std::uint64_t u) {
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return adds(Value(static_cast<std::int64_t>(u)));
        return adds(Value(static_cast<double>(u)));
    }
    bool Double(double d) { return (std::isfinite(d) || refuse(ParseStatus::InvalidNumber, kNumberText)) && adds(Value(d)); }
    // Numbers arrive as text and are converted here: RapidJSON 1.1's own
    // full-precision conversion returns wrong values for some inputs (a zero
    // significand with a large negative exponent, "0e-320", gave -2e-137).
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
        // Most numbers are integers that fit: those are read here, in line,
        // and the others (fractions, exponents, overflow) by numberValue.
        std::int64_t i = 0;
        if (const auto [end, ec] = std::from_chars(s, s + n, i); ec == std::errc() && end == s + n)
            return adds(Value(i));
        const auto v = numberValue(std::string_view(s, n));
        return v ? adds(std::move(*v)) : refuse(ParseStatus::InvalidNumber, kNumberText);
    }
    bool String(const char* s, rapidjson::SizeType n, bool) {
        if (escapes_ && holdsSurrogate(s, n)) return refuse(ParseStatus::InvalidEncoding, kSurrogateText);
        return adds(Value(std::string_view(s, n)));
    }
    bool Key(const char* s, rapidjson::SizeType n, bool) {
        if (escapes_ && holdsSurrogate(s, n)) return refuse(ParseStatus::InvalidEncoding, kSurrogateText);
        // Short keys are copied into a buffer of the builder's own, without a string's bookkeeping.
        keyLength_ = n;
        if (n <= sizeof shortKey_)
            std::memcpy(shortKey_, s, n);
        else
            longKey_.assign(s, n);
        return true;
    }
    // Surrogates can only come from \u escapes (the reader refuses them as
    // UTF-8 bytes): a document without a backslash needs no look at its strings.
    void setMayHoldEscapes(bool escapes) noexcept { escapes_ = escapes; }
    bool StartObject() { return open(Value::Kind::Dictionary); }
    bool StartArray() { return open(Value::Kind::Array); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }

    std::optional<Value> take() { return std::move(root_); }
    /// Why a handler of this builder stopped the reader; Ok when none did.
    ParseStatus refusal() const noexcept { return refusal_; }
    const char* refusalText() const noexcept { return refusalText_; }

private:
    static constexpr const char* kNumberText = "a number no value can hold";
    static constexpr const char* kSurrogateText = "a string holding a lone surrogate escape";
    bool refuse(ParseStatus status, const char* why) noexcept {
        refusal_ = status;
        refusalText_ = why;
        return false;
    }
    bool adds(Value v) { return add(std::move(v)) != nullptr; }

private:
    // An open container: where it sits, and its handle once it has a block.
    struct Open {
        Value* slot;
        Value::Kind kind;
        std::variant<std::monostate, Array, Dictionary> made;
    };

    bool open(Value::Kind kind) {
        if (open_.size() >= JSONSerialization::kMaxDepth)
            return refuse(ParseStatus::TooDeep, "containers nested deeper than 512");
        Value* slot = add(ValueAccess::emptyContainer(kind));
        if (!slot) return false;
        open_.push_back({slot, kind, std::monostate{}});
        return true;
    }

    // Stores v in the innermost open container (or as the root) and returns
    // its slot, which stays put while v is open: nothing else is added to
    // the parent meanwhile. nullptr when v may not stand there.
    Value* add(Value v) {
        if (open_.empty()) {
            // Only a container may stand at the top level.
            if (root_ || (!v.isArray() && !v.isDictionary())) {
                refuse(ParseStatus::NotAContainer, "the top level is not an object or an array");
                return nullptr;
            }
            root_ = std::move(v);
            return &*root_;
        }
        Open& top = open_.back();
        if (std::holds_alternative<std::monostate>(top.made)) {
            if (top.kind == Value::Kind::Dictionary) {
                Dictionary d;
                *top.slot = Value(d);
                top.made = std::move(d);
            } else {
                Array a;
                *top.slot = Value(a);
                top.made = std::move(a);
            }
        }
        if (auto* d = std::get_if<Dictionary>(&top.made)) {
            if (!v.isArray() && !v.isDictionary()) {
                d->set(key(), std::move(v));  // a repeated key keeps its first place and its last value
                return &stored_;              // a scalar's slot is never needed
            }
            d->set(key(), std::move(v));
            return d->find(key());
        }
        Array& a = std::get<Array>(top.made);
        a.push_back(std::move(v));
        return &a.back();
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    std::optional<Value> root_;
    std::vector<Open> open_;
    Value stored_;
    std::string_view key() const noexcept {
        return keyLength_ <= sizeof shortKey_ ? std::string_view(shortKey_, keyLength_) : std::string_view(longKey_);
    }
    char shortKey_[32];
    std::size_t keyLength_ = 0;
    std::string longKey_;
    bool escapes_ = true;
    ParseStatus refusal_ = ParseStatus::Ok;
    const char* refusalText_ = "";
};

Parsed<Value> parseUTF8(std::string_view data);

// A refusal at offset into text, with its line and column (counted as expat does).
Parsed<Value> refused(ParseStatus status, std::string description, std::string_view text, std::size_t offset,
                      int readerCode = 0) {
    Parsed<Value> out;
    ParseResult& r = out.result;
    r.status = status;
    r.description = std::move(description);
    r.readerCode = readerCode;
    r.offset = offset;
    offset = std::min(offset, text.size());
    const std::size_t lineStart = text.find_last_of('\n', offset == 0 ? std::string_view::npos : offset - 1);
    r.line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n');
    r.column = static_cast<std::int64_t>(lineStart == std::string_view::npos || offset == 0 ? offset
                                                                                             : offset - lineStart - 1);
    return out;
}

bool isJSONSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The encoding of JSON text and the length of its byte-order mark. Without a
// mark, the zero bytes among the first four tell UTF-16 and UTF-32 apart
// (the text starts with two ASCII characters: RFC 4627, section 3).
struct DetectedEncoding {
    const char* name;  // nullptr for UTF-8
    std::size_t markLength;
};

DetectedEncoding detectEncoding(std::string_view d) {
    auto at = [&](std::size_t i) { return i < d.size() ? static_cast<unsigned char>(d[i]) : 0x100u; };
    if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) return {nullptr, 3};
    if (at(0) == 0 && at(1) == 0 && at(2) == 0xFE && at(3) == 0xFF) return {"UTF-32BE", 4};
    if (at(0) == 0xFF && at(1) == 0xFE && at(2) == 0 && at(3) == 0) return {"UTF-32LE", 4};
    if (at(0) == 0xFE && at(1) == 0xFF) return {"UTF-16BE", 2};
    if (at(0) == 0xFF && at(1) == 0xFE) return {"UTF-16LE", 2};
    if (d.size() < 4) return {nullptr, 0};
    bool z0 = at(0) == 0, z1 = at(1) == 0, z2 = at(2) == 0, z3 = at(3) == 0;
    if (z0 && z1 && z2 && !z3) return {"UTF-32BE", 0};
    if (!z0 && z1 && z2 && z3) return {"UTF-32LE", 0};
    if (z0 && !z1 && z2 && !z3) return {"UTF-16BE", 0};
    if (!z0 && z1 && !z2 && z3) return {"UTF-16LE", 0};
    return {nullptr, 0};
}

// text in the encoding named, as UTF-8; no value when it does not convert
// whole (an invalid or cut-off sequence, a lone surrogate).
std::optional<std::string> toUTF8(std::string_view text, const char* encoding) {
    iconv_t cd = iconv_open("UTF-8", encoding);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    // UTF-16 grows by at most half when written as UTF-8; UTF-32 never grows.
    const std::size_t room = text.size() + text.size() / 2 + 4;
    if (detail::DecodeBudget* budget = detail::DecodeBudget::current()) budget->charge(room);
    std::string out(room, '\0');
    char* in = const_cast<char*>(text.data());  // iconv does not write through it
    std::size_t inLeft = text.size();
    char* to = out.data();
    std::size_t outLeft = out.size();
    std::size_t r = iconv(cd, &in, &inLeft, &to, &outLeft);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

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
                if (auto kept = ValueAccess::keptNumberText(v); !kept.empty()) {
                    // The digits as they were read: no double holds them exactly.
                    ok = w.RawValue(kept.data(), kept.size(), rapidjson::kNumberType);
                    break;
                }
                if (!std::isfinite(v.asDouble())) fail("Invalid number value (infinite or NaN) in JSON write");
                ok = w.Double(v.asDouble());
                break;
            case Value::Kind::String: {
                auto s = v.asString();
                if (s.size() > std::numeric_limits<rapidjson::SizeType>::max()) fail("String too long for JSON write");
                ok = detail::isValidUTF8(s) && w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
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
            if (!detail::isValidUTF8(k) || !w.Key(k.data(), static_cast<rapidjson::SizeType>(k.size())))
                fail("Invalid key (not UTF-8) in JSON write");
            child = &e.value();
        }
        if (ValueAccess::isUnbornContainer(*child)) {
            // Empty; written without making its block.
            if (child->isArray()) {
                w.StartArray();
                w.EndArray();
            } else {
                w.StartObject();
                w.EndObject();
            }
        } else if (child->isArray() || child->isDictionary())
            open(*child);  // may reallocate frames: f is not used again
        else
            scalar(*child);
    }
}

}  // namespace

Parsed<Value> JSONSerialization::JSONObjectWithData(std::string_view data) {
    try {
        const DetectedEncoding encoding = detectEncoding(data);
        data.remove_prefix(encoding.markLength);
        if (!encoding.name) return parseUTF8(data);
        std::optional<std::string> utf8 = toUTF8(data, encoding.name);
        if (!utf8) return refused(ParseStatus::InvalidEncoding, "the text is not in its encoding", data, 0);
        return parseUTF8(*utf8);
    } catch (const detail::DecodeBudgetExceeded&) {
        Parsed<Value> over;
        over.result.status = ParseStatus::TooLarge;
        over.result.description = "the values would pass the decode budget";
        return over;
    }
}

namespace {
// RapidJSON refuses numbers past the double range outright, text kept or
// not. A document it refuses for that alone is read again by nlohmann's
// reader with long double numbers (range to 1e4932), whose events carry each
// number's text; the builder keeps that text as for any other number.
class WideNumberEvents : public nlohmann::json_sax<nlohmann::basic_json<std::map, std::vector, std::string, bool,
                                                                         std::int64_t, std::uint64_t, long double>> {
public:
    explicit WideNumberEvents(ValueBuilder& builder) : b_(builder) {}
    bool null() override { return b_.Null(); }
    bool boolean(bool v) override { return b_.Bool(v); }
    bool number_integer(number_integer_t v) override { return b_.Int64(v); }
    bool number_unsigned(number_unsigned_t v) override {
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        return b_.RawNumber(buf, static_cast<rapidjson::SizeType>(r.ptr - buf), false);
    }
    bool number_float(number_float_t, const string_t& text) override {
        return b_.RawNumber(text.data(), static_cast<rapidjson::SizeType>(text.size()), false);
    }
    bool string(string_t& v) override { return b_.String(v.data(), static_cast<rapidjson::SizeType>(v.size()), false); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return b_.StartObject(); }
    bool key(string_t& v) override { return b_.Key(v.data(), static_cast<rapidjson::SizeType>(v.size()), false); }
    bool end_object() override { return b_.EndObject(0); }
    bool start_array(std::size_t) override { return b_.StartArray(); }
    bool end_array() override { return b_.EndArray(0); }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
        // nlohmann's text is "[json.exception...] parse error at line L, column C: why"; only the why is kept.
        const std::string_view what = e.what();
        const std::size_t why = what.find(": ");
        error_ = what.substr(why == std::string_view::npos ? 0 : why + 2);
        errorAt_ = position == 0 ? 0 : position - 1;  // nlohmann counts the character it stopped on
        return false;
    }
    const std::string& error() const noexcept { return error_; }
    std::size_t errorAt() const noexcept { return errorAt_; }

private:
    ValueBuilder& b_;
    std::string error_;
    std::size_t errorAt_ = 0;
};

Parsed<Value> parseWideNumbers(std::string_view data) {
    ValueBuilder builder;
    WideNumberEvents events(builder);
    if (!nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t,
                              long double>::sax_parse(data.begin(), data.end(), &events)) {
        if (builder.refusal() != ParseStatus::Ok)
            return refused(builder.refusal(), builder.refusalText(), data, 0);
        return refused(ParseStatus::Malformed, events.error(), data, events.errorAt());
    }
    // nlohmann's reader takes a NUL byte for the end of the input: what follows it was never read.
    if (const std::size_t nul = data.find('\0'); nul != std::string_view::npos)
        return refused(ParseStatus::TrailingData, "more than white space after the document", data, nul);
    Parsed<Value> read;
    read.value = builder.take();
    return read;
}

// RapidJSON's codes, in the few kinds a host tells apart; the code itself is kept beside.
ParseStatus statusOf(rapidjson::ParseErrorCode code) noexcept {
    switch (code) {
        case rapidjson::kParseErrorDocumentEmpty: return ParseStatus::Empty;
        case rapidjson::kParseErrorDocumentRootNotSingular: return ParseStatus::TrailingData;
        case rapidjson::kParseErrorStringInvalidEncoding: return ParseStatus::InvalidEncoding;
        default: return ParseStatus::Malformed;
    }
}

// RapidJSON's English text for code, without its closing full stop.
std::string describe(rapidjson::ParseErrorCode code) {
    std::string text = rapidjson::GetParseError_En(code);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

Parsed<Value> parseUTF8(std::string_view data) {
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                                rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::MemoryStream in(data.data(), data.size());
    detail::DecodeBudget* budget = detail::DecodeBudget::current();
    const std::size_t chargedBefore = budget ? budget->used() : 0;
    Parsed<Value> read;
    {
        ValueBuilder builder;
        builder.setMayHoldEscapes(data.find('\\') != std::string_view::npos);
        rapidjson::Reader reader;
        if (const rapidjson::ParseResult r = reader.Parse<kFlags>(in, builder); r.IsError()) {
            // The builder's own refusals reach the reader as a termination.
            if (r.Code() == rapidjson::kParseErrorTermination && builder.refusal() != ParseStatus::Ok)
                return refused(builder.refusal(), builder.refusalText(), data, r.Offset());
            if (r.Code() != rapidjson::kParseErrorNumberTooBig)
                return refused(statusOf(r.Code()), describe(r.Code()), data, r.Offset(), static_cast<int>(r.Code()));
            // The part built so far is freed (the builder) before the second reading, and what it was
            // charged is taken back: the budget bounds what is live at once, not both readings.
            builder = ValueBuilder();
            if (budget && budget->used() > chargedBefore) budget->credit(budget->used() - chargedBefore);
            return parseWideNumbers(data);
        }
        read.value = builder.take();
    }
    // The reader stops after the document; only white space may follow (a
    // NUL byte included, which the stream would otherwise take for the end).
    for (std::size_t i = in.Tell(); i < data.size(); ++i)
        if (!isJSONSpace(data[i])) return refused(ParseStatus::TrailingData, "more than white space after the document", data, i);
    return read;
}
}  // namespace

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
