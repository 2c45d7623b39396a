#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Foundation/Value/detail/ValueAccess.h>
#include <Orvalis/Foundation/Value/detail/Storage.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace orvalis {

using detail::ArrayImpl;
using detail::DictImpl;
using detail::NumberRep;
using detail::StringRep;
using detail::kSharedString;

// ---- Value ---------------------------------------------------------------

Value::Value() noexcept = default;
Value::Value(std::nullptr_t) noexcept {}
Value::Value(bool b) noexcept : kind_(Kind::Bool) { std::memcpy(buf_, &b, sizeof b); }
Value::Value(std::int64_t i, IntTag) noexcept : kind_(Kind::Integer) { std::memcpy(buf_, &i, sizeof i); }
Value::Value(double d) noexcept : kind_(Kind::Double) { std::memcpy(buf_, &d, sizeof d); }

namespace {
// Short keys and texts are the common case: fixed-size overlapping copies
// avoid a call to memcpy for them.
inline void copySmall(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}
}  // namespace

Value::Value(std::string_view s) : kind_(Kind::String) {
    if (s.size() <= kInline) {
        copySmall(buf_, s.data(), s.size());
        len_ = static_cast<std::uint8_t>(s.size());
    } else {
        setPtr(detail::makeStringRep(s));
        len_ = kSharedString;
    }
}
Value::Value(const char* s) : Value(std::string_view(s ? s : "")) {}
Value::Value(const std::string& s) : Value(std::string_view(s)) {}

Value::Value(const Array& a) noexcept : kind_(Kind::Array) {
    setPtr(a.impl_);
    retain();
}
Value::Value(const Dictionary& d) noexcept : kind_(Kind::Dictionary) {
    setPtr(d.impl_);
    retain();
}
Value::Value(Array&& a) noexcept : kind_(Kind::Array) {
    setPtr(a.impl_);
    a.impl_ = nullptr;
}
Value::Value(Dictionary&& d) noexcept : kind_(Kind::Dictionary) {
    setPtr(d.impl_);
    d.impl_ = nullptr;
}

Value& Value::operator=(const Value& o) noexcept {
    if (this != &o) *this = Value(o);
    return *this;
}
Value& Value::operator=(Value&& o) noexcept {
    if (this != &o) {
        release();
        copyBytes(o);
        len_ = o.len_;
        kind_ = o.kind_;
        o.kind_ = Kind::Null;
        o.len_ = 0;
    }
    return *this;
}
void Value::releaseOwned() noexcept { release(); }

// An unborn container's pointer may be set by another thread reading the
// same Value (containerBlock), so the pointer is read atomically.
void* Value::ptr() const noexcept {
    return __atomic_load_n(reinterpret_cast<void* const*>(buf_), __ATOMIC_ACQUIRE);
}
void Value::setPtr(void* p) noexcept { std::memcpy(buf_, &p, sizeof p); }

void Value::retain() const noexcept {
    if (ownsBlock()) detail::retainBlock(static_cast<detail::RefCounted*>(ptr()));
}

// The block of an Array or Dictionary Value, made now for an unborn one. The
// first thread to publish its block wins; any other frees its own.
void* Value::containerBlock() const noexcept {
    void* p = ptr();
    if (p) return p;
    void* made;
    if (kind_ == Kind::Array)
        made = detail::newArray(false);
    else
        made = detail::newDict(1, false);
    void* expected = nullptr;
    auto* slot = reinterpret_cast<void**>(const_cast<char*>(buf_));
    if (__atomic_compare_exchange_n(slot, &expected, made, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return made;
    detail::dispose(made, kind_ == Kind::Dictionary);
    return expected;
}

void Value::shareContainer(const Value& other) noexcept {
    void* p = other.containerBlock();
    detail::retainBlock(static_cast<detail::RefCounted*>(p));
    setPtr(p);
}

void Value::release() noexcept {
    switch (kind_) {
    case Kind::Double:
        if (len_ == kSharedString) {
            auto* rep = static_cast<NumberRep*>(ptr());
            if (detail::releaseBlock(rep)) {
                rep->~NumberRep();
                std::free(rep);
            }
        }
        break;
    case Kind::String:
        if (len_ == kSharedString) {
            auto* rep = static_cast<StringRep*>(ptr());
            if (detail::releaseBlock(rep)) {
                if (rep->external) std::free(static_cast<detail::ExternalStringRep*>(rep)->base);
                rep->~StringRep();
                std::free(rep);
            }
        }
        break;
    case Kind::Array: {
        auto* a = static_cast<ArrayImpl*>(ptr());
        if (detail::releaseBlock(a)) detail::dispose(a, false);
        break;
    }
    case Kind::Dictionary: {
        auto* d = static_cast<DictImpl*>(ptr());
        if (detail::releaseBlock(d)) detail::dispose(d, true);
        break;
    }
    default:
        break;
    }
    kind_ = Kind::Null;
    len_ = 0;
}

bool Value::asBool() const noexcept {
    bool b;
    std::memcpy(&b, buf_, sizeof b);
    return b;
}
std::int64_t Value::asInteger() const noexcept {
    if (kind_ == Kind::Double) {
        // Saturates: converting a double out of range would be undefined.
        double d = asDouble();
        if (std::isnan(d)) return 0;
        if (d >= 9223372036854775808.0) return INT64_MAX;
        if (d < -9223372036854775808.0) return INT64_MIN;
        return static_cast<std::int64_t>(d);
    }
    std::int64_t i;
    std::memcpy(&i, buf_, sizeof i);
    return i;
}
double Value::asDouble() const noexcept {
    if (kind_ == Kind::Integer) {
        std::int64_t i;
        std::memcpy(&i, buf_, sizeof i);
        return static_cast<double>(i);
    }
    if (len_ == kSharedString) return static_cast<NumberRep*>(ptr())->value;
    double d;
    std::memcpy(&d, buf_, sizeof d);
    return d;
}
std::string_view Value::asString() const& noexcept {
    if (len_ == kSharedString) {
        auto* rep = static_cast<StringRep*>(ptr());
        return {rep->data(), rep->size};
    }
    return {buf_, len_};
}
Array Value::asArray() const noexcept {
    auto* a = static_cast<ArrayImpl*>(containerBlock());
    detail::retainBlock(a);
    return Array(a);
}
Dictionary Value::asDictionary() const noexcept {
    auto* d = static_cast<DictImpl*>(containerBlock());
    detail::retainBlock(d);
    return Dictionary(d);
}
std::optional<std::string_view> Value::stringValue() const& noexcept {
    if (!isString()) return std::nullopt;
    return asString();
}
std::optional<Array> Value::arrayValue() const noexcept {
    if (!isArray()) return std::nullopt;
    return asArray();
}
std::optional<Dictionary> Value::dictionaryValue() const noexcept {
    if (!isDictionary()) return std::nullopt;
    return asDictionary();
}

bool Value::isSame(const Value& o) const noexcept {
    if (kind_ != o.kind_) return false;
    if (kind_ == Kind::Array || kind_ == Kind::Dictionary) return containerBlock() == o.containerBlock();
    return *this == o;
}

Value Value::deepCopy() const {
    if (!isArray() && !isDictionary()) return *this;
    if (detail::ValueAccess::isUnbornContainer(*this)) return detail::ValueAccess::emptyContainer(kind_);
    auto shell = [](const Value& src) -> Value {
        if (src.isArray()) {
            Array a;
            a.reserve(src.asArray().size());
            return Value(std::move(a));
        }
        Dictionary d;
        d.reserve(src.asDictionary().size());
        return Value(std::move(d));
    };
    Value root = shell(*this);
    std::vector<std::pair<Value, Value>> jobs;  // (source, empty copy to fill)
    jobs.emplace_back(*this, root);
    while (!jobs.empty()) {
        auto [src, dst] = std::move(jobs.back());
        jobs.pop_back();
        auto copyOne = [&](const Value& v) -> Value {
            if (!v.isArray() && !v.isDictionary()) return v;
            if (detail::ValueAccess::isUnbornContainer(v)) return detail::ValueAccess::emptyContainer(v.kind());
            Value c = shell(v);
            jobs.emplace_back(v, c);
            return c;
        };
        if (src.isArray()) {
            Array s = src.asArray(), d = dst.asArray();
            for (const Value& v : s) d.push_back(copyOne(v));
        } else {
            Dictionary s = src.asDictionary(), d = dst.asDictionary();
            for (const auto& e : s) d.append(e.key(), copyOne(e.value()));
        }
    }
    return root;
}

namespace {

void appendQuoted(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void appendNumber(std::string& out, const Value& v) {
    if (auto kept = detail::ValueAccess::keptNumberText(v); !kept.empty()) {
        out += kept;
        return;
    }
    char buf[64];
    std::to_chars_result r;
    if (v.isInteger()) {
        r = std::to_chars(buf, buf + sizeof buf, v.asInteger());
    } else {
        double d = v.asDouble();
        if (std::isnan(d)) { out += "nan"; return; }
        if (std::isinf(d)) { out += d < 0 ? "-inf" : "inf"; return; }
        r = std::to_chars(buf, buf + sizeof buf, d);
    }
    out.append(buf, r.ptr);
}

constexpr int kDescriptionDepth = 64;

void describe(std::string& out, const Value& v, int depth) {
    switch (v.kind()) {
    case Value::Kind::Null: out += "null"; break;
    case Value::Kind::Bool: out += v.asBool() ? "true" : "false"; break;
    case Value::Kind::Integer:
    case Value::Kind::Double: appendNumber(out, v); break;
    case Value::Kind::String: appendQuoted(out, v.asString()); break;
    case Value::Kind::Array: {
        if (detail::ValueAccess::isUnbornContainer(v)) { out += "[]"; break; }
        if (depth >= kDescriptionDepth) { out += "[...]"; break; }
        out += '[';
        bool first = true;
        for (const Value& e : v.asArray()) {
            if (!first) out += ',';
            first = false;
            describe(out, e, depth + 1);
        }
        out += ']';
        break;
    }
    case Value::Kind::Dictionary: {
        if (detail::ValueAccess::isUnbornContainer(v)) { out += "{}"; break; }
        if (depth >= kDescriptionDepth) { out += "{...}"; break; }
        out += '{';
        bool first = true;
        for (const auto& e : v.asDictionary()) {
            if (!first) out += ',';
            first = false;
            appendQuoted(out, e.key());
            out += ':';
            describe(out, e.value(), depth + 1);
        }
        out += '}';
        break;
    }
    }
}

}  // namespace

std::optional<std::string> Value::numberText() const {
    if (!isNumber()) return std::nullopt;
    if (auto kept = detail::ValueAccess::keptNumberText(*this); !kept.empty()) return std::string(kept);
    std::string out;
    appendNumber(out, *this);
    return out;
}

std::string Value::description() const {
    if (isString()) return std::string(asString());
    std::string out;
    describe(out, *this, 0);
    return out;
}

bool operator==(const Value& a, const Value& b) noexcept {
    std::vector<std::pair<const Value*, const Value*>> work;
    try {
        work.emplace_back(&a, &b);
    } catch (...) {
        return false;
    }
    while (!work.empty()) {
        auto [x, y] = work.back();
        work.pop_back();
        if (x->isNumber() && y->isNumber()) {
            auto xt = detail::ValueAccess::keptNumberText(*x), yt = detail::ValueAccess::keptNumberText(*y);
            if (!xt.empty() && !yt.empty()) {
                if (xt != yt) return false;
            } else if (x->isInteger() && y->isInteger()) {
                if (x->asInteger() != y->asInteger()) return false;
            } else if (x->asDouble() != y->asDouble()) {
                return false;
            }
            continue;
        }
        if (x->kind() != y->kind()) return false;
        if (x->isArray() || x->isDictionary()) {
            // An unborn container is empty; its block is not made to compare.
            bool xu = detail::ValueAccess::isUnbornContainer(*x), yu = detail::ValueAccess::isUnbornContainer(*y);
            if (xu || yu) {
                if (!(xu ? true : x->isArray() ? x->asArray().empty() : x->asDictionary().empty())) return false;
                if (!(yu ? true : y->isArray() ? y->asArray().empty() : y->asDictionary().empty())) return false;
                continue;
            }
        }
        switch (x->kind()) {
        case Value::Kind::Null: break;
        case Value::Kind::Bool:
            if (x->asBool() != y->asBool()) return false;
            break;
        case Value::Kind::String:
            if (x->asString() != y->asString()) return false;
            break;
        case Value::Kind::Array: {
            auto* xa = static_cast<ArrayImpl*>(x->ptr());
            auto* ya = static_cast<ArrayImpl*>(y->ptr());
            if (xa == ya) break;
            if (xa->size != ya->size) return false;
            try {
                for (std::size_t i = 0; i < xa->size; ++i) work.emplace_back(&xa->data[i], &ya->data[i]);
            } catch (...) {
                return false;
            }
            break;
        }
        case Value::Kind::Dictionary: {
            auto* xd = static_cast<DictImpl*>(x->ptr());
            auto* yd = static_cast<DictImpl*>(y->ptr());
            if (xd == yd) break;
            if (xd->size != yd->size) return false;
            Dictionary yh = y->asDictionary();
            try {
                for (std::uint32_t i = 0; i < xd->size; ++i) {
                    const Value* other = yh.find(xd->data[i].key());
                    if (!other) return false;
                    work.emplace_back(&xd->data[i].value(), other);
                }
            } catch (...) {
                return false;
            }
            break;
        }
        default: break;
        }
    }
    return true;
}

}  // namespace orvalis
