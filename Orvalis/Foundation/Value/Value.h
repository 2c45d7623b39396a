#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <Orvalis/Foundation/Export.h>

namespace orvalis {

class Value;
class Array;
class Dictionary;

namespace detail {
struct StringRep;
struct ArrayImpl;
struct DictImpl;
struct ValueAccess;
class TextBuffer;
}  // namespace detail

/// A dynamic value: null, boolean, 64-bit integer, double, string, Array or
/// Dictionary. 16 bytes; strings of up to 14 bytes are stored inline, longer
/// ones in a shared immutable buffer. Arrays and dictionaries are held by
/// reference: copying a Value that holds one shares the container.
///
/// Lifetimes. A Value owns what it holds; keep a Value (a cheap copy) to keep
/// its content. A view or reference handed out (asString, stringValue,
/// operator[], find, DictionaryEntry::key, iteration) points into the Value or
/// container it came from and is valid while that Value, or any handle sharing
/// the container, lives and the container is not changed. Views of a
/// temporary Value do not compile (`d.objectForKey("k").stringValue()`): read
/// through a named container (`d["k"].stringValue()`), keep the Value, or copy
/// the text. operator[] on a temporary returns a Value, never a reference.
///
/// An empty container read from JSON takes no block of its own until it is
/// first copied or handed out (any thread may do that first; it is made once).
/// A number read from JSON that no double or 64-bit integer holds exactly (an
/// integer beyond 64 bits, a fraction past a double's digits, a number beyond
/// the double range) is a Double that also keeps its text (numberText, JSON
/// writing, description); its double is the nearest one, an infinity past the range.
class ORVALIS_EXPORT Value {
public:
    /// What a Value holds.
    enum class Kind : std::uint8_t { Null, Bool, Integer, Double, String, Array, Dictionary };

    /// A null Value.
    Value() noexcept;
    /**@{*/
    /// A Value holding the argument: integers of any width as 64-bit integers,
    /// strings copied (as bytes), containers shared with the handle given.
    Value(std::nullptr_t) noexcept;
    Value(bool b) noexcept;
    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    Value(T i) noexcept : Value(static_cast<std::int64_t>(i), IntTag{}) {}
    Value(double d) noexcept;
    Value(std::string_view s);
    Value(const char* s);
    Value(const std::string& s);
    Value(const Array& a) noexcept;
    Value(const Dictionary& d) noexcept;
    Value(Array&& a) noexcept;
    Value(Dictionary&& d) noexcept;
    /**@}*/

    /**@{*/
    /// Copies share the container or string buffer; a moved-from Value is null.
    Value(const Value& other) noexcept : len_(other.len_), kind_(other.kind_) {
        if (kind_ == Kind::Array || kind_ == Kind::Dictionary) {
            shareContainer(other);
            return;
        }
        copyBytes(other);
        if (ownsBlock()) retain();
    }
    Value(Value&& other) noexcept : len_(other.len_), kind_(other.kind_) {
        copyBytes(other);
        other.kind_ = Kind::Null;
        other.len_ = 0;
    }
    Value& operator=(const Value& other) noexcept;
    Value& operator=(Value&& other) noexcept;
    /**@}*/
    ~Value() {
        if (ownsBlock()) releaseOwned();
    }

    /**@{*/
    /// What the Value holds; isNumber is true for integers and doubles.
    Kind kind() const noexcept { return kind_; }
    bool isNull() const noexcept { return kind_ == Kind::Null; }
    bool isBool() const noexcept { return kind_ == Kind::Bool; }
    bool isInteger() const noexcept { return kind_ == Kind::Integer; }
    bool isDouble() const noexcept { return kind_ == Kind::Double; }
    bool isNumber() const noexcept { return kind_ == Kind::Integer || kind_ == Kind::Double; }
    bool isString() const noexcept { return kind_ == Kind::String; }
    bool isArray() const noexcept { return kind_ == Kind::Array; }
    bool isDictionary() const noexcept { return kind_ == Kind::Dictionary; }
    /**@}*/

    /**@{*/
    /// Unchecked accessors: the kind must match (asDouble and asInteger also
    /// take the other number kind). Containers come back as sharing handles.
    bool asBool() const noexcept;
    std::int64_t asInteger() const noexcept;
    double asDouble() const noexcept;
    std::string_view asString() const& noexcept;
    Array asArray() const noexcept;
    Dictionary asDictionary() const noexcept;
    /**@}*/
    /// Deleted: the view would outlive the temporary Value (see Lifetimes above).
    std::string_view asString() const&& = delete;

    /**@{*/
    /// Checked accessors: no value when the kind differs. A string view lives
    /// as long as this Value; stringValue of a temporary does not compile.
    std::optional<std::string_view> stringValue() const& noexcept;
    std::optional<Array> arrayValue() const noexcept;
    std::optional<Dictionary> dictionaryValue() const noexcept;
    /**@}*/
    /// Deleted: the view would outlive the temporary Value (see Lifetimes above).
    std::optional<std::string_view> stringValue() const&& = delete;

    /**@{*/
    /// Checked scalar accessors: no value when the Value cannot be read as
    /// asked. boolValue takes booleans only; integerValue integers and doubles
    /// with an integral value inside the int64 range; doubleValue any number
    /// (integers become the nearest double).
    std::optional<bool> boolValue() const noexcept;
    std::optional<std::int64_t> integerValue() const noexcept;
    std::optional<double> doubleValue() const noexcept;
    /**@}*/

    /**@{*/
    /// Read-only lookup: the entry under key of a Dictionary, or the element at
    /// index of an Array; a null Value when absent, out of range or when this
    /// Value is not that container. A named Value gives a reference into it; a
    /// temporary gives a copy.
    const Value& operator[](std::string_view key) const& noexcept;
    Value operator[](std::string_view key) const&& noexcept;
    const Value& operator[](std::size_t index) const& noexcept;
    Value operator[](std::size_t index) const&& noexcept;
    /**@}*/

    /// The number as text: the digits it was read with when no double or
    /// 64-bit integer holds it exactly (any integer beyond 64 bits), else the shortest text that reads back
    /// as the same value. No value when the Value is not a number.
    std::optional<std::string> numberText() const;

    /// True when both hold the very same container (or are equal scalars).
    bool isSame(const Value& other) const noexcept;

    /// Copies containers all the way down (iteratively: any depth).
    Value deepCopy() const;

    /// Readable one-line text form, used in log lines: strings as themselves
    /// at top level, containers JSON-like.
    std::string description() const;

    /// Content equality (integers and doubles compare by numeric value;
    /// dictionaries ignore order). Iterative: any depth.
    friend ORVALIS_EXPORT bool operator==(const Value& a, const Value& b) noexcept;
    /// Negation of operator==.
    friend bool operator!=(const Value& a, const Value& b) noexcept { return !(a == b); }

private:
    struct IntTag {};
    Value(std::int64_t i, IntTag) noexcept;

    friend class Array;
    friend class Dictionary;
    friend class detail::TextBuffer;
    friend struct detail::ValueAccess;
    void shareContainer(const Value& other) noexcept;
    void* containerBlock() const noexcept;
    void* ptr() const noexcept;
    void setPtr(void* p) noexcept;
    void retain() const noexcept;
    void release() noexcept;
    void releaseOwned() noexcept;
    // Only shared strings, numbers kept as text and containers hold a
    // reference to release.
    bool ownsBlock() const noexcept { return kind_ == Kind::Array || kind_ == Kind::Dictionary || len_ == 0xFF; }
    void copyBytes(const Value& other) noexcept {
        // Two fixed-size copies compile to plain moves.
        __builtin_memcpy(buf_, other.buf_, 8);
        __builtin_memcpy(buf_ + 8, other.buf_ + 8, kInline - 8);
    }

    static constexpr std::size_t kInline = 14;
    alignas(8) char buf_[kInline];
    std::uint8_t len_ = 0;  // inline string length, or 0xFF for a shared string or a number kept as text
    Kind kind_ = Kind::Null;
};

static_assert(sizeof(Value) == 16, "Value is meant to stay 16 bytes");

/// A shared, mutable, ordered array of Values. Copying the handle shares the
/// container; use deepCopy for an independent one. A moved-from handle may
/// only be assigned to or destroyed.
class ORVALIS_EXPORT Array {
public:
    /// A new empty array.
    Array();
    /// A new array holding items, in order.
    Array(std::initializer_list<Value> items);
    /**@{*/
    /// Copies share the container; moving leaves the source empty-handed.
    Array(const Array& other) noexcept;
    Array(Array&& other) noexcept;
    Array& operator=(const Array& other) noexcept;
    Array& operator=(Array&& other) noexcept;
    /**@}*/
    ~Array() {
        if (impl_) releaseImpl();
    }

    /**@{*/
    /// Number of elements.
    std::size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }
    /**@}*/
    /**@{*/
    /// Element access; the index must be below size(), back() needs a non-empty array.
    const Value& operator[](std::size_t i) const noexcept;
    Value& operator[](std::size_t i) noexcept;
    const Value& back() const noexcept;
    Value& back() noexcept;
    /**@}*/

    /**@{*/
    /// Edits seen through every handle. pop_back on an empty array and erase
    /// past the end do nothing; growing throws std::bad_alloc when memory runs out.
    void push_back(Value v);
    void pop_back() noexcept;
    void erase(std::size_t i);
    void reserve(std::size_t n);
    void clear() noexcept;
    /**@}*/

    /**@{*/
    /// Contiguous iteration; invalidated by any change to the array.
    const Value* begin() const noexcept;
    const Value* end() const noexcept;
    Value* begin() noexcept;
    Value* end() noexcept;
    /**@}*/

    /// True when both handles share one container.
    bool isSame(const Array& other) const noexcept { return impl_ == other.impl_; }
    /// An independent copy, containers copied all the way down.
    Array deepCopy() const;
    /// Readable JSON-like text, for logs.
    std::string description() const;
    /**@{*/
    /// Element-wise content equality, at any depth.
    friend ORVALIS_EXPORT bool operator==(const Array& a, const Array& b) noexcept;
    friend bool operator!=(const Array& a, const Array& b) noexcept { return !(a == b); }
    /**@}*/

private:
    friend class Value;
    explicit Array(detail::ArrayImpl* adopt) noexcept : impl_(adopt) {}
    void releaseImpl() noexcept;
    detail::ArrayImpl* impl_;
};

/// One key/value pair of a Dictionary.
class ORVALIS_EXPORT DictionaryEntry {
public:
    /// The entry's key.
    std::string_view key() const noexcept { return key_.asString(); }
    /**@{*/
    /// The entry's value; the mutable one may be replaced in place.
    const Value& value() const noexcept { return value_; }
    Value& value() noexcept { return value_; }
    /**@}*/

private:
    friend class Dictionary;
    friend struct detail::DictImpl;
    Value key_;
    Value value_;
};

/// A shared, mutable map from string keys to Values that iterates in
/// insertion order. Copying the handle shares the container; use deepCopy for
/// an independent one. Pointers and iterators are invalidated by any change.
/// A moved-from handle may only be assigned to or destroyed.
class ORVALIS_EXPORT Dictionary {
public:
    /// A new empty dictionary.
    Dictionary();
    /// A new dictionary holding entries, in order (a repeated key keeps its
    /// first position and its last value).
    Dictionary(std::initializer_list<std::pair<std::string_view, Value>> entries);
    /**@{*/
    /// Copies share the container; moving leaves the source empty-handed.
    Dictionary(const Dictionary& other) noexcept;
    Dictionary(Dictionary&& other) noexcept;
    Dictionary& operator=(const Dictionary& other) noexcept;
    Dictionary& operator=(Dictionary&& other) noexcept;
    /**@}*/
    ~Dictionary() {
        if (impl_) releaseImpl();
    }

    /**@{*/
    /// Number of entries.
    std::size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }
    /**@}*/

    /**@{*/
    /// The value under key, or nullptr (false) when absent.
    const Value* find(std::string_view key) const noexcept;
    Value* find(std::string_view key) noexcept;
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    /**@}*/
    /// The value under key, or a null Value when absent: a Value the caller owns.
    Value objectForKey(std::string_view key) const noexcept;
    /**@{*/
    /// Read-only lookup: the value under key, or a null Value when absent. A
    /// named Dictionary gives a reference into it (valid until it changes); a
    /// temporary handle gives a copy. Any thread that may read the Dictionary.
    const Value& operator[](std::string_view key) const& noexcept;
    Value operator[](std::string_view key) const&& noexcept;
    /**@}*/

    /// Replaces the value under key in place, or appends a new entry.
    void set(std::string_view key, Value value);
    /// Appends without looking for the key first: the key must be absent.
    void append(std::string_view key, Value value);
    /// Removes the entry; the others keep their order. False when absent.
    bool remove(std::string_view key) noexcept;
    /// Removes every entry.
    void clear() noexcept;
    /// Makes room for n entries; throws std::bad_alloc when memory runs out.
    void reserve(std::size_t n);

    /**@{*/
    /// Iteration in insertion order; invalidated by any change.
    const DictionaryEntry* begin() const noexcept;
    const DictionaryEntry* end() const noexcept;
    DictionaryEntry* begin() noexcept;
    DictionaryEntry* end() noexcept;
    /**@}*/

    /// True when both handles share one container.
    bool isSame(const Dictionary& other) const noexcept { return impl_ == other.impl_; }
    /// An independent copy, containers copied all the way down.
    Dictionary deepCopy() const;
    /// Readable JSON-like text, for logs.
    std::string description() const;
    /**@{*/
    /// Content equality at any depth; the order of entries does not count.
    friend ORVALIS_EXPORT bool operator==(const Dictionary& a, const Dictionary& b) noexcept;
    friend bool operator!=(const Dictionary& a, const Dictionary& b) noexcept { return !(a == b); }
    /**@}*/

private:
    friend class Value;
    friend struct detail::ValueAccess;
    explicit Dictionary(detail::DictImpl* adopt) noexcept : impl_(adopt) {}
    void releaseImpl() noexcept;
    detail::DictImpl* impl_;
};

/**@{*/
/// Writes description(): strings as they are, containers as JSON-like text.
ORVALIS_EXPORT std::ostream& operator<<(std::ostream& out, const Value& value);
ORVALIS_EXPORT std::ostream& operator<<(std::ostream& out, const Array& array);
ORVALIS_EXPORT std::ostream& operator<<(std::ostream& out, const Dictionary& dictionary);
/**@}*/

/**@{*/
/// Structured bindings over entries, `for (auto& [key, value] : dictionary)`:
/// the key as a view, the value as a reference into the entry.
template <std::size_t I>
decltype(auto) get(const DictionaryEntry& entry) noexcept {
    static_assert(I < 2, "a DictionaryEntry binds a key and a value");
    if constexpr (I == 0) {
        return entry.key();
    } else {
        return entry.value();
    }
}
template <std::size_t I>
decltype(auto) get(DictionaryEntry& entry) noexcept {
    static_assert(I < 2, "a DictionaryEntry binds a key and a value");
    if constexpr (I == 0) {
        return entry.key();
    } else {
        return entry.value();
    }
}
/**@}*/

}  // namespace orvalis

/// Structured bindings of a DictionaryEntry (see orvalis::get).
namespace std {
/// DictionaryEntry binds as two names: the key, then the value.
template <>
struct tuple_size<orvalis::DictionaryEntry> : integral_constant<size_t, 2> {};
/// The key binds as a std::string_view.
template <>
struct tuple_element<0, orvalis::DictionaryEntry> {
    /// std::string_view
    using type = string_view;
};
/// The value binds as a Value.
template <>
struct tuple_element<1, orvalis::DictionaryEntry> {
    /// orvalis::Value
    using type = orvalis::Value;
};
}  // namespace std
