#pragma once

// Internal to the value model: not installed. The shared blocks behind
// strings, kept numbers, arrays and dictionaries, and the allocator calls the
// value types make (Storage.cpp: dictionary slabs, flat freeing of deep trees,
// the decode budget's charges).
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Foundation/Value/detail/DecodeBudget.h>
#include <Orvalis/Foundation/Value/detail/DictIndex.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

namespace orvalis::detail {

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
    // Makes the entry at e (raw memory) hold key and value.
    static void placeEntry(DictionaryEntry* e, Value&& key, Value&& value) noexcept {
        new (&e->key_) Value(std::move(key));
        new (&e->value_) Value(std::move(value));
    }
};
static_assert(sizeof(DictImpl) % alignof(DictionaryEntry) == 0, "inline entries follow the header");
static_assert(alignof(DictionaryEntry) <= DictImpl::kIndexSlot, "entries after the table pointer stay aligned");

// Blocks with more inline entries than this are not worth carving: the
// entries go to the heap instead.
inline constexpr std::uint32_t kMaxInlineEntries = 16;

// The length mark of a Value whose text or number lives in a shared block.
inline constexpr std::uint8_t kSharedString = 0xFF;

// The budget active on this thread (DecodeBudget::current()), read on every allocation.
extern constinit thread_local DecodeBudget* tlBudget;

// What malloc adds to each block, charged on top of what is asked for.
inline constexpr std::size_t kMallocOverhead = 16;

inline void charge(std::size_t n) {
    if (DecodeBudget* b = tlBudget) b->charge(n + kMallocOverhead);
}

inline void credit(std::size_t n) noexcept {
    if (DecodeBudget* b = tlBudget) b->credit(n + kMallocOverhead);
}

inline void* allocOrThrow(std::size_t n) {
    void* p = std::malloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}

inline void retainBlock(RefCounted* b) noexcept {
    if (b) b->rc.fetch_add(1, std::memory_order_relaxed);
}
inline bool releaseBlock(RefCounted* b) noexcept {
    return b && b->rc.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

/// A string block holding a copy of s; throws std::bad_alloc.
StringRep* makeStringRep(std::string_view s);
/// An empty array block; charged to the thread's budget unless charged is false.
ArrayImpl* newArray(bool charged = true);
/// A dictionary block with room for inlineEntries entries (1 to
/// kMaxInlineEntries); charged: false inside noexcept calls.
DictImpl* newDict(std::uint32_t inlineEntries = 1, bool charged = true);
/// Room for at least want elements or entries; throws std::bad_alloc.
void growArray(ArrayImpl* a, std::size_t want);
void growDict(DictImpl* d, std::size_t want);
/// Frees a container block whose count reached zero, and its children, without deep recursion.
void dispose(void* p, bool isDict) noexcept;

}  // namespace orvalis::detail
