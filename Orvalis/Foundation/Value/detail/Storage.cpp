// The allocator behind the value model: dictionary blocks carved from
// per-thread slabs, containers freed without recursing once per level, and
// the decode budget every allocation is charged to.
#include <Orvalis/Foundation/Value/detail/Storage.h>
#include <Orvalis/Foundation/Value/detail/ValueAccess.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace orvalis::detail {

constinit thread_local DecodeBudget* tlBudget = nullptr;

namespace {

// Containers grow by half while small, then by a quarter, and past a million
// elements by an eighth: a long array built element by element holds little
// unused room (glibc moves large blocks by remapping pages, so growing them
// often costs no copying).
inline std::size_t grownCapacity(std::size_t cap) noexcept {
    if (cap < (std::size_t{1} << 16)) return cap + cap / 2;
    if (cap < (std::size_t{1} << 20)) return cap + cap / 4;
    return cap + cap / 8;
}

}  // namespace

StringRep* makeStringRep(std::string_view s) {
    charge(sizeof(StringRep) + s.size());
    auto* rep = new (allocOrThrow(sizeof(StringRep) + s.size())) StringRep();
    rep->size = s.size();
    if (!s.empty()) std::memcpy(rep->data(), s.data(), s.size());
    return rep;
}

namespace {

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

}  // namespace

// A dictionary block with room for inlineEntries entries (1 to
// kMaxInlineEntries). charged: false where a block is made inside a noexcept
// call (an unborn container handed out), which must not throw for the budget.
DictImpl* newDict(std::uint32_t inlineEntries, bool charged) {
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

namespace {

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

}  // namespace

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

ArrayImpl* newArray(bool charged) {
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
    // A table of the same size is kept as it is (grownDictIndex): only a new one is charged.
    const std::size_t tableBytes = indexed ? dictIndexBytes(static_cast<std::uint32_t>(cap)) : 0;
    const bool newTable = indexed && (!wasIndexed || tableBytes != dictIndexBytes(d->cap));
    charge((d->isInline() ? cap : cap - d->cap) * sizeof(DictionaryEntry) + (newTable ? tableBytes : 0));
    // The new table is made first: if it cannot be, nothing has changed.
    DictIndex* const old = wasIndexed ? d->index() : nullptr;
    DictIndex* index = nullptr;
    if (indexed) {
        index = old ? grownDictIndex(old, static_cast<std::uint32_t>(cap))
                    : newDictIndex(d->data, d->size, static_cast<std::uint32_t>(cap));
    }
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
        if (index != old) freeDictIndex(index);
        throw std::bad_alloc();
    }
    if (old != index) {
        freeDictIndex(old);
        // Rebuilt on every growth: charged without this, the tables of a wide
        // dictionary would count several times over what is ever live.
        if (old) credit(dictIndexBytes(d->cap));
    }
    d->data = reinterpret_cast<DictionaryEntry*>(p + prefix);
    d->cap = static_cast<std::uint32_t>(cap);
    if (indexed) d->index() = index;
}

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

}  // namespace orvalis::detail
