#include <Orvalis/Foundation/Value.h>
#include <Orvalis/Foundation/detail/DecodeBudget.h>
#include <Orvalis/Foundation/detail/DictIndex.h>
#include <Orvalis/Foundation/detail/TextBuffer.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace orvalis {
namespace detail {

// Every shared block starts with its reference count.
struct RefCounted {
    std::atomic<std::uint32_t> rc{1};
};

// A shared string's bytes follow its header, or, for text adopted from a
// TextBuffer, live in that buffer's own block (no second copy).
struct StringRep : RefCounted {
    std::uint32_t external = 0;
    std::size_t size = 0;
    char* data() noexcept;
};

struct ExternalStringRep : StringRep {
    char* base;   // the block to free
    char* bytes;  // where the text starts inside it
};

inline char* StringRep::data() noexcept {
    return external ? static_cast<ExternalStringRep*>(this)->bytes : reinterpret_cast<char*>(this + 1);
}

// A number kept with its text: the nearest double, then the digits.
struct NumberRep : RefCounted {
    double value = 0;
    std::size_t size = 0;
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
};

struct ArrayImpl : RefCounted {
    std::size_t size = 0;
    std::size_t cap = 0;
    Value* data = nullptr;
};

// Below this capacity a scan of the inline-compared keys beats hashing (bench_wide: 16 keys scanned in 12 ns a lookup, hashed in 32).
constexpr std::uint32_t kIndexedCapacity = 29;

// The first entries live inside the block itself, right after its header:
// one by default, so an element holding one child or one text is a single
// 56-byte block; a builder that knows how many entries a dictionary will
// hold asks for that many up front. Past them, entries move to the heap.
struct DictImpl : RefCounted {
    std::uint32_t size = 0;
    std::uint32_t cap;
    std::uint32_t slabOffset = 0;  // distance from the start of the slab it was carved from
    DictionaryEntry* data;
    explicit DictImpl(std::uint32_t inlineEntries) noexcept : cap(inlineEntries), data(inlineData()) {}
    DictionaryEntry* inlineData() noexcept { return reinterpret_cast<DictionaryEntry*>(this + 1); }
    bool isInline() const noexcept { return data == reinterpret_cast<const DictionaryEntry*>(this + 1); }
    // From kIndexedCapacity on, the entries' heap block starts with a pointer to
    // the lookup table, just before the first entry: small dictionaries stay
    // as small as they were, and wide ones find keys in constant time.
    bool isIndexed() const noexcept { return cap >= kIndexedCapacity; }  // never inline (kMaxInlineEntries)
    DictIndex*& index() const noexcept { return *reinterpret_cast<DictIndex**>(reinterpret_cast<char*>(data) - kIndexSlot); }
    static constexpr std::size_t kIndexSlot = sizeof(DictIndex*);
};
static_assert(sizeof(DictImpl) % alignof(DictionaryEntry) == 0, "inline entries follow the header");
static_assert(alignof(DictionaryEntry) <= DictImpl::kIndexSlot, "entries after the table pointer stay aligned");

namespace {

thread_local DecodeBudget* tlBudget = nullptr;

// What malloc adds to each block, charged on top of what is asked for.
constexpr std::size_t kMallocOverhead = 16;

inline void charge(std::size_t n) {
    if (DecodeBudget* b = tlBudget) b->charge(n + kMallocOverhead);
}

// Containers grow by half while small, then by a quarter, and past a million
// elements by an eighth: a long array built element by element holds little
// unused room (glibc moves large blocks by remapping pages, so growing them
// often costs no copying).
inline std::size_t grownCapacity(std::size_t cap) noexcept {
    if (cap < (std::size_t{1} << 16)) return cap + cap / 2;
    if (cap < (std::size_t{1} << 20)) return cap + cap / 4;
    return cap + cap / 8;
}

void* allocOrThrow(std::size_t n) {
    void* p = std::malloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}

StringRep* makeStringRep(std::string_view s) {
    charge(sizeof(StringRep) + s.size());
    auto* rep = new (allocOrThrow(sizeof(StringRep) + s.size())) StringRep();
    rep->size = s.size();
    if (!s.empty()) std::memcpy(rep->data(), s.data(), s.size());
    return rep;
}

void destroyArray(ArrayImpl* a) noexcept {
    for (std::size_t i = 0; i < a->size; ++i) a->data[i].~Value();
    std::free(a->data);
    a->~ArrayImpl();
    std::free(a);
}

// Dictionary blocks are carved from slabs, one open slab per thread: taking
// a block is a pointer bump, giving one back only counts its slab down, and
// the slab goes back to malloc whole once every block in it is gone,
// whichever threads free them. A block that outlives its neighbours keeps
// its slab alive.
struct Slab {
    // Blocks not yet freed, plus the part of kBias not yet handed out while
    // the slab is still being carved.
    std::atomic<std::uint32_t> live;
};

constexpr std::size_t kSlabBytes = std::size_t{32} << 10;
constexpr std::size_t kFirstBlock = alignof(std::max_align_t);
// Blocks with more inline entries than this are not worth carving: the
// entries go to the heap instead.
constexpr std::uint32_t kMaxInlineEntries = 16;
static_assert(kMaxInlineEntries < kIndexedCapacity, "an inline block is never indexed");
constexpr std::size_t blockBytes(std::uint32_t inlineEntries) noexcept {
    return sizeof(DictImpl) + std::size_t{inlineEntries} * sizeof(DictionaryEntry);
}
// More than the number of blocks a slab can ever hold (one inline entry at least).
constexpr std::uint32_t kBias = static_cast<std::uint32_t>((kSlabBytes - kFirstBlock) / blockBytes(1)) + 1;
static_assert(sizeof(Slab) <= kFirstBlock && kFirstBlock % alignof(DictImpl) == 0);

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCarve = false;  // one malloc per block, so the sanitizer sees each
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCarve = false;
#else
constexpr bool kCarve = true;
#endif
#else
constexpr bool kCarve = true;
#endif

// Trivially destructible, so it stays usable while the thread's other
// thread-locals are destroyed.
struct SlabCursor {
    Slab* slab;
    std::uint32_t used;    // blocks handed out
    std::uint32_t offset;  // bytes handed out, from the start of the slab
    bool closed;
};
thread_local SlabCursor tlCursor{nullptr, 0, 0, false};

void dropSlab(Slab* s, std::uint32_t n) noexcept {
    if (s->live.fetch_sub(n, std::memory_order_acq_rel) == n) {
        s->~Slab();
        std::free(s);
    }
}

// Stops carving: the blocks never handed out no longer hold the slab.
void retireSlab(SlabCursor& c) noexcept {
    if (c.slab) dropSlab(c.slab, kBias - c.used);
    c.slab = nullptr;
    c.used = 0;
    c.offset = 0;
}

struct SlabCursorCloser {
    ~SlabCursorCloser() {
        retireSlab(tlCursor);
        tlCursor.closed = true;
    }
};
thread_local SlabCursorCloser tlCursorCloser;

Slab* newSlab(std::size_t bytes, std::uint32_t live, bool charged) {
    if (charged) charge(bytes);
    auto* s = new (allocOrThrow(bytes)) Slab();
    s->live.store(live, std::memory_order_relaxed);
    return s;
}

// A dictionary block with room for inlineEntries entries (1 to
// kMaxInlineEntries). charged: false where a block is made inside a noexcept
// call (an unborn container handed out), which must not throw for the budget.
DictImpl* newDict(std::uint32_t inlineEntries = 1, bool charged = true) {
    const std::size_t bytes = blockBytes(inlineEntries);
    SlabCursor& c = tlCursor;
    if (!kCarve || c.closed) {
        // A slab of one block.
        auto* d = new (reinterpret_cast<char*>(newSlab(kFirstBlock + bytes, 1, charged)) + kFirstBlock)
            DictImpl(inlineEntries);
        d->slabOffset = kFirstBlock;
        return d;
    }
    if (!c.slab || c.offset + bytes > kSlabBytes) {
        (void)&tlCursorCloser;  // retires the open slab when the thread ends
        Slab* s = newSlab(kSlabBytes, kBias, charged);
        retireSlab(c);
        c.slab = s;
        c.offset = kFirstBlock;
    }
    const std::size_t offset = c.offset;
    char* at = reinterpret_cast<char*>(c.slab) + offset;
    // The next block is written soon after, on memory no cache holds yet:
    // ask for its lines now rather than stall on them then. (A hint only;
    // past the slab's end it does nothing harmful.)
    __builtin_prefetch(at + bytes, 1);
    __builtin_prefetch(at + bytes + 64, 1);
    auto* d = new (at) DictImpl(inlineEntries);
    d->slabOffset = static_cast<std::uint32_t>(offset);
    c.offset = static_cast<std::uint32_t>(offset + bytes);
    ++c.used;
    return d;
}

// Freeing a container frees its children; a deep chain would recurse once
// per level. Containers whose count drops to zero while another is being
// destroyed on this thread are queued instead, so the stack stays flat.
// Dictionaries freed one after another mostly share a slab: their slab is
// counted down once per run rather than once per block.
struct Disposal {
    std::vector<std::pair<void*, bool>> queue;  // (block, isDictionary)
    Slab* slab = nullptr;
    std::uint32_t freed = 0;

    void flush() noexcept {
        if (slab) dropSlab(slab, freed);
        slab = nullptr;
        freed = 0;
    }
    ~Disposal();
};
thread_local Disposal tlDisposal;
// Trivially destructible, so they stay usable while the thread's other
// thread-locals (which may hold Values) are destroyed after tlDisposal.
thread_local bool tlDisposalGone = false;
thread_local Disposal* tlDraining = nullptr;
Disposal::~Disposal() { tlDisposalGone = true; }

void destroyDict(DictImpl* d, Disposal& batch) noexcept {
    for (std::uint32_t i = 0; i < d->size; ++i) d->data[i].~DictionaryEntry();
    if (d->isIndexed()) {
        freeDictIndex(d->index());
        std::free(reinterpret_cast<char*>(d->data) - DictImpl::kIndexSlot);
    } else if (!d->isInline()) {
        std::free(d->data);
    }
    auto* slab = reinterpret_cast<Slab*>(reinterpret_cast<char*>(d) - d->slabOffset);
    d->~DictImpl();
    if (slab != batch.slab) {
        batch.flush();
        batch.slab = slab;
    }
    ++batch.freed;
}

void destroyOne(void* p, bool isDict, Disposal& batch) noexcept {
    if (isDict)
        destroyDict(static_cast<DictImpl*>(p), batch);
    else
        destroyArray(static_cast<ArrayImpl*>(p));
}

void drain(Disposal& d, void* p, bool isDict) noexcept {
    tlDraining = &d;
    destroyOne(p, isDict, d);
    while (!d.queue.empty()) {
        auto [q, dict] = d.queue.back();
        d.queue.pop_back();
        destroyOne(q, dict, d);
    }
    d.flush();
    // A huge tree's queue is not kept for the thread's next one.
    if (d.queue.capacity() > 4096) std::vector<std::pair<void*, bool>>().swap(d.queue);
    tlDraining = nullptr;
}

bool holdsBlockOfContainer(const Value& v) noexcept {
    return (v.isArray() || v.isDictionary()) && !ValueAccess::isUnbornContainer(v);
}

// A container whose elements hold no further container block: freeing it
// now cannot recurse, and keeps the queue (and the memory of a large tree
// being freed) from growing by one entry per small node.
bool isLeafContainer(void* p, bool isDict) noexcept {
    if (isDict) {
        auto* d = static_cast<DictImpl*>(p);
        for (std::uint32_t i = 0; i < d->size; ++i)
            if (holdsBlockOfContainer(d->data[i].value())) return false;
    } else {
        auto* a = static_cast<ArrayImpl*>(p);
        for (std::size_t i = 0; i < a->size; ++i)
            if (holdsBlockOfContainer(a->data[i])) return false;
    }
    return true;
}

void dispose(void* p, bool isDict) noexcept {
    if (Disposal* active = tlDraining) {
        if (isLeafContainer(p, isDict)) {
            destroyOne(p, isDict, *active);
            return;
        }
        try {
            active->queue.emplace_back(p, isDict);
        } catch (...) {
            destroyOne(p, isDict, *active);  // no memory to queue it: recurse this once
        }
        return;
    }
    if (tlDisposalGone) {
        // The thread is ending and its queue is already destroyed.
        Disposal local;
        drain(local, p, isDict);
        return;
    }
    drain(tlDisposal, p, isDict);
}

inline void retainBlock(RefCounted* b) noexcept {
    if (b) b->rc.fetch_add(1, std::memory_order_relaxed);
}
inline bool releaseBlock(RefCounted* b) noexcept {
    return b && b->rc.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

ArrayImpl* newArray(bool charged = true) {
    if (charged) charge(sizeof(ArrayImpl));
    return new (allocOrThrow(sizeof(ArrayImpl))) ArrayImpl();
}

// Values and entries hold no pointers into themselves, so moving them to a
// new buffer is a plain byte copy.
void growArray(ArrayImpl* a, std::size_t want) {
    if (want <= a->cap) return;
    std::size_t cap = a->cap ? grownCapacity(a->cap) : 4;
    if (cap < want) cap = want;
    charge((cap - a->cap) * sizeof(Value));
    void* p = std::realloc(static_cast<void*>(a->data), cap * sizeof(Value));
    if (!p) throw std::bad_alloc();
    a->data = static_cast<Value*>(p);
    a->cap = cap;
}

void growDict(DictImpl* d, std::size_t want) {
    if (want <= d->cap) return;
    std::size_t cap = d->cap < 4 ? 4 : grownCapacity(d->cap);
    if (cap < want) cap = want;
    if (cap >= UINT32_MAX) throw std::bad_alloc();
    const bool wasIndexed = d->isIndexed();
    const bool indexed = cap >= kIndexedCapacity;
    const std::size_t prefix = indexed ? DictImpl::kIndexSlot : 0;
    const std::size_t bytes = prefix + cap * sizeof(DictionaryEntry);
    charge((d->isInline() ? cap : cap - d->cap) * sizeof(DictionaryEntry) +
           (indexed ? dictIndexBytes(static_cast<std::uint32_t>(cap)) : 0));
    // The new table is made first: if it cannot be, nothing has changed.
    DictIndex* index = indexed ? newDictIndex(d->data, d->size, static_cast<std::uint32_t>(cap)) : nullptr;
    char* p;
    if (d->isInline()) {
        p = static_cast<char*>(std::malloc(bytes));
        if (p) std::memcpy(p + prefix, static_cast<void*>(d->data), d->size * sizeof(DictionaryEntry));
    } else {
        char* block = reinterpret_cast<char*>(d->data) - (wasIndexed ? DictImpl::kIndexSlot : 0);
        p = static_cast<char*>(std::realloc(block, bytes));
        if (p && indexed && !wasIndexed) std::memmove(p + prefix, p, d->size * sizeof(DictionaryEntry));
    }
    if (!p) {
        freeDictIndex(index);
        throw std::bad_alloc();
    }
    if (wasIndexed) freeDictIndex(*reinterpret_cast<DictIndex**>(p));
    d->data = reinterpret_cast<DictionaryEntry*>(p + prefix);
    d->cap = static_cast<std::uint32_t>(cap);
    if (indexed) d->index() = index;
}

}  // namespace

// ---- DecodeBudget ----------------------------------------------------------

const char* DecodeBudgetExceeded::what() const noexcept { return "decoding would exceed its memory bound"; }

DecodeBudget::DecodeBudget(std::size_t limitBytes, std::size_t maxDepth) noexcept
    : limit_(limitBytes), maxDepth_(maxDepth), outer_(tlBudget) {
    tlBudget = this;
}
DecodeBudget::~DecodeBudget() { tlBudget = outer_; }
void DecodeBudget::charge(std::size_t bytes) {
    used_ += bytes;
    if (used_ > limit_) throw DecodeBudgetExceeded();
}
void DecodeBudget::checkDepth(std::size_t depth) const {
    if (depth > maxDepth_) throw DecodeBudgetExceeded();
}
DecodeBudget* DecodeBudget::current() noexcept { return tlBudget; }

}  // namespace detail

using detail::ArrayImpl;
using detail::DictImpl;
using detail::NumberRep;
using detail::StringRep;

// ---- Value ---------------------------------------------------------------

namespace {
constexpr std::uint8_t kSharedString = 0xFF;
}

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

// ---- ValueAccess -----------------------------------------------------------

Value detail::ValueAccess::emptyContainer(Value::Kind kind) noexcept {
    Value v;
    v.kind_ = kind == Value::Kind::Array ? Value::Kind::Array : Value::Kind::Dictionary;
    v.setPtr(nullptr);
    return v;
}
bool detail::ValueAccess::isUnbornContainer(const Value& v) noexcept {
    return (v.kind_ == Value::Kind::Array || v.kind_ == Value::Kind::Dictionary) && v.ptr() == nullptr;
}
Value detail::ValueAccess::numberWithText(double nearest, std::string_view text) {
    charge(sizeof(NumberRep) + text.size());
    auto* rep = new (allocOrThrow(sizeof(NumberRep) + text.size())) NumberRep();
    rep->value = nearest;
    rep->size = text.size();
    std::memcpy(rep->data(), text.data(), text.size());
    Value v;
    v.kind_ = Value::Kind::Double;
    v.len_ = kSharedString;
    v.setPtr(rep);
    return v;
}
Dictionary detail::ValueAccess::dictionaryWithRoom(std::size_t entries) {
    if (entries <= 1) return Dictionary();
    if (entries > kMaxInlineEntries) {
        Dictionary d;
        d.reserve(entries);
        return d;
    }
    return Dictionary(newDict(static_cast<std::uint32_t>(entries)));
}
std::string_view detail::ValueAccess::keptNumberText(const Value& v) noexcept {
    if (v.kind_ != Value::Kind::Double || v.len_ != kSharedString) return {};
    auto* rep = static_cast<NumberRep*>(v.ptr());
    return {rep->data(), rep->size};
}

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
