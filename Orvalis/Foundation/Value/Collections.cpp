// Array, Dictionary and TextBuffer over the shared blocks of Storage.h.
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Foundation/Value/detail/Storage.h>
#include <Orvalis/Foundation/Value/detail/TextBuffer.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace orvalis {

using detail::ArrayImpl;
using detail::DictImpl;
using detail::NumberRep;
using detail::StringRep;
using detail::kSharedString;

// ---- Array ---------------------------------------------------------------

Array::Array() : impl_(detail::newArray()) {}
Array::Array(std::initializer_list<Value> items) : Array() {
    reserve(items.size());
    for (const Value& v : items) push_back(v);
}
Array::Array(const Array& o) noexcept : impl_(o.impl_) { detail::retainBlock(impl_); }
Array::Array(Array&& o) noexcept : impl_(o.impl_) { o.impl_ = nullptr; }
Array& Array::operator=(const Array& o) noexcept {
    if (impl_ != o.impl_) {
        detail::retainBlock(o.impl_);
        if (detail::releaseBlock(impl_)) detail::dispose(impl_, false);
        impl_ = o.impl_;
    }
    return *this;
}
Array& Array::operator=(Array&& o) noexcept {
    if (this != &o) {
        if (detail::releaseBlock(impl_)) detail::dispose(impl_, false);
        impl_ = o.impl_;
        o.impl_ = nullptr;
    }
    return *this;
}
void Array::releaseImpl() noexcept {
    if (detail::releaseBlock(impl_)) detail::dispose(impl_, false);
}

std::size_t Array::size() const noexcept { return impl_ ? impl_->size : 0; }
const Value& Array::operator[](std::size_t i) const noexcept { return impl_->data[i]; }
Value& Array::operator[](std::size_t i) noexcept { return impl_->data[i]; }
const Value& Array::back() const noexcept { return impl_->data[impl_->size - 1]; }
Value& Array::back() noexcept { return impl_->data[impl_->size - 1]; }

void Array::push_back(Value v) {
    detail::growArray(impl_, impl_->size + 1);
    new (&impl_->data[impl_->size]) Value(std::move(v));
    ++impl_->size;
}
void Array::pop_back() noexcept {
    if (impl_->size == 0) return;
    --impl_->size;
    impl_->data[impl_->size].~Value();
}
void Array::erase(std::size_t i) {
    if (i >= impl_->size) return;
    Value gone(std::move(impl_->data[i]));
    impl_->data[i].~Value();
    std::memmove(static_cast<void*>(impl_->data + i), impl_->data + i + 1, (impl_->size - i - 1) * sizeof(Value));
    --impl_->size;
}
void Array::reserve(std::size_t n) { detail::growArray(impl_, n); }
void Array::clear() noexcept {
    while (impl_->size) pop_back();
}
const Value* Array::begin() const noexcept { return impl_ ? impl_->data : nullptr; }
const Value* Array::end() const noexcept { return impl_ ? impl_->data + impl_->size : nullptr; }
Value* Array::begin() noexcept { return impl_ ? impl_->data : nullptr; }
Value* Array::end() noexcept { return impl_ ? impl_->data + impl_->size : nullptr; }

Array Array::deepCopy() const { return Value(*this).deepCopy().asArray(); }
std::string Array::description() const { return Value(*this).description(); }
bool operator==(const Array& a, const Array& b) noexcept { return Value(a) == Value(b); }

// ---- Dictionary ----------------------------------------------------------

Dictionary::Dictionary() : impl_(detail::newDict()) {}
Dictionary::Dictionary(std::initializer_list<std::pair<std::string_view, Value>> entries) : Dictionary() {
    reserve(entries.size());
    for (const auto& [k, v] : entries) set(k, v);
}
Dictionary::Dictionary(const Dictionary& o) noexcept : impl_(o.impl_) { detail::retainBlock(impl_); }
Dictionary::Dictionary(Dictionary&& o) noexcept : impl_(o.impl_) { o.impl_ = nullptr; }
Dictionary& Dictionary::operator=(const Dictionary& o) noexcept {
    if (impl_ != o.impl_) {
        detail::retainBlock(o.impl_);
        if (detail::releaseBlock(impl_)) detail::dispose(impl_, true);
        impl_ = o.impl_;
    }
    return *this;
}
Dictionary& Dictionary::operator=(Dictionary&& o) noexcept {
    if (this != &o) {
        if (detail::releaseBlock(impl_)) detail::dispose(impl_, true);
        impl_ = o.impl_;
        o.impl_ = nullptr;
    }
    return *this;
}
void Dictionary::releaseImpl() noexcept {
    if (detail::releaseBlock(impl_)) detail::dispose(impl_, true);
}

std::size_t Dictionary::size() const noexcept { return impl_ ? impl_->size : 0; }

namespace {
// Same, comparing: n bytes (at most 16) of a and b are equal.
inline bool equalSmall(const char* a, const char* b, std::size_t n) noexcept {
    auto load8 = [](const char* p) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    };
    auto load4 = [](const char* p) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    if (n >= 8) return load8(a) == load8(b) && load8(a + n - 8) == load8(b + n - 8);
    if (n >= 4) return load4(a) == load4(b) && load4(a + n - 4) == load4(b + n - 4);
    return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}
}  // namespace

const Value* Dictionary::find(std::string_view key) const noexcept {
    if (!impl_) return nullptr;
    const std::uint32_t n = impl_->size;
    const DictionaryEntry* e = impl_->data;
    if (impl_->isIndexed()) {
        const std::uint32_t at = detail::dictIndexFind(impl_->index(), e, key);
        return at == detail::kNoEntry ? nullptr : &e[at].value_;
    }
    if (key.size() <= Value::kInline) {
        // Keys this short are stored inline: compare their bytes in place.
        const auto len = static_cast<std::uint8_t>(key.size());
        for (std::uint32_t i = 0; i < n; ++i) {
            const Value& k = e[i].key_;
            if (k.len_ == len ? equalSmall(k.buf_, key.data(), len) : k.len_ == kSharedString && k.asString() == key)
                return &e[i].value_;
        }
        return nullptr;
    }
    for (std::uint32_t i = 0; i < n; ++i)
        if (e[i].key() == key) return &e[i].value_;
    return nullptr;
}
Value* Dictionary::find(std::string_view key) noexcept {
    return const_cast<Value*>(static_cast<const Dictionary*>(this)->find(key));
}
Value Dictionary::objectForKey(std::string_view key) const noexcept {
    const Value* v = find(key);
    return v ? *v : Value();
}

void Dictionary::set(std::string_view key, Value value) {
    if (Value* v = find(key)) {
        *v = std::move(value);
        return;
    }
    append(key, std::move(value));
}
void Dictionary::append(std::string_view key, Value value) {
    Value k(key);
    if (impl_->size == impl_->cap) detail::growDict(impl_, impl_->size + std::size_t{1});
    auto* e = new (&impl_->data[impl_->size]) DictionaryEntry();
    new (&e->key_) Value(std::move(k));
    new (&e->value_) Value(std::move(value));
    ++impl_->size;
    if (impl_->isIndexed()) detail::dictIndexAdd(impl_->index(), impl_->data, impl_->size - 1);
}
bool Dictionary::remove(std::string_view key) noexcept {
    if (!impl_) return false;
    const Value* found = find(key);
    if (!found) return false;
    std::uint32_t i = 0;
    while (&impl_->data[i].value_ != found) ++i;
    DictionaryEntry* e = &impl_->data[i];
    Value k(std::move(e->key_)), v(std::move(e->value_));
    e->~DictionaryEntry();
    std::memmove(static_cast<void*>(e), e + 1, (impl_->size - i - 1) * sizeof(DictionaryEntry));
    --impl_->size;
    // Every later entry moved down one place: the table is refilled (removal
    // costs a pass over the entries either way).
    if (impl_->isIndexed()) detail::dictIndexRefill(impl_->index(), impl_->data, impl_->size);
    return true;
}
void Dictionary::clear() noexcept {
    while (impl_ && impl_->size) {
        --impl_->size;
        impl_->data[impl_->size].~DictionaryEntry();
    }
    if (impl_ && impl_->isIndexed()) detail::dictIndexRefill(impl_->index(), impl_->data, 0);
}
void Dictionary::reserve(std::size_t n) { detail::growDict(impl_, n); }

const DictionaryEntry* Dictionary::begin() const noexcept { return impl_ ? impl_->data : nullptr; }
const DictionaryEntry* Dictionary::end() const noexcept { return impl_ ? impl_->data + impl_->size : nullptr; }
DictionaryEntry* Dictionary::begin() noexcept { return impl_ ? impl_->data : nullptr; }
DictionaryEntry* Dictionary::end() noexcept { return impl_ ? impl_->data + impl_->size : nullptr; }

Dictionary Dictionary::deepCopy() const { return Value(*this).deepCopy().asDictionary(); }
std::string Dictionary::description() const { return Value(*this).description(); }
bool operator==(const Dictionary& a, const Dictionary& b) noexcept { return Value(a) == Value(b); }

// ---- TextBuffer ------------------------------------------------------------

namespace {
// Below this a run is copied into a fresh string: adopting the buffer
// would cost more allocations than the copy saves.
constexpr std::size_t kAdoptMin = 1024;
constexpr std::size_t kFirstCapacity = 4096;
}  // namespace

detail::TextBuffer::~TextBuffer() { std::free(data_); }

void detail::TextBuffer::reset() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = cap_ = 0;
}

void detail::TextBuffer::append(std::string_view s) {
    if (s.empty()) return;
    if (s.size() > cap_ - size_) {
        std::size_t want = size_ + s.size();
        if (want < size_) throw std::bad_alloc();
        std::size_t cap = cap_ ? cap_ * 2 : kFirstCapacity;
        if (cap < want) cap = want;
        detail::charge(cap - cap_);
        void* p = std::realloc(data_, cap);
        if (!p) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        cap_ = cap;
    }
    std::memcpy(data_ + size_, s.data(), s.size());
    size_ += s.size();
}

Value detail::TextBuffer::take(std::size_t begin, std::size_t end) {
    if (end > size_) end = size_;
    if (begin > end) begin = end;
    std::size_t n = end - begin;
    if (n < kAdoptMin) {
        Value v(std::string_view(data_ ? data_ + begin : "", n));
        size_ = 0;
        return v;
    }
    detail::charge(sizeof(detail::ExternalStringRep));
    auto* rep = new (detail::allocOrThrow(sizeof(detail::ExternalStringRep))) detail::ExternalStringRep();
    // Give back the unused tail (a shrinking realloc stays in place).
    if (cap_ - end > 64) {
        if (void* p = std::realloc(data_, end)) data_ = static_cast<char*>(p);
    }
    rep->external = 1;
    rep->size = n;
    rep->base = data_;
    rep->bytes = data_ + begin;
    data_ = nullptr;
    size_ = cap_ = 0;
    Value v;
    v.kind_ = Value::Kind::String;
    v.len_ = kSharedString;
    v.setPtr(rep);
    return v;
}

}  // namespace orvalis
