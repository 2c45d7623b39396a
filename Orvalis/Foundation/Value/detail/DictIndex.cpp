#include <Orvalis/Foundation/Value/detail/DictIndex.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

namespace orvalis::detail {

// Slots hold an entry's position plus one (0: empty) beside its key's hash:
// a probe compares hashes and looks at an entry only when they match, and a
// table made for a larger block is filled from the hashes alone. Neither
// touches the entries, which are what a wide Dictionary's time goes to. The
// table is kept at most two-thirds full so that linear probing stays short.
struct DictSlot {
    std::uint32_t hash;
    std::uint32_t position;  // plus one
};

struct DictIndex {
    std::uint32_t mask;
    DictSlot* slots() noexcept { return reinterpret_cast<DictSlot*>(this + 1); }
    const DictSlot* slots() const noexcept { return reinterpret_cast<const DictSlot*>(this + 1); }
};
static_assert(sizeof(DictIndex) % alignof(DictSlot) == 0, "the slots after the mask stay aligned");

namespace {

std::uint32_t tableSize(std::uint32_t capacity) noexcept {
    const std::uint64_t want = std::uint64_t{capacity} + capacity / 2 + 1;
    std::uint64_t n = 32;
    while (n < want) n <<= 1;
    return static_cast<std::uint32_t>(n);
}

// Tables have at most 2^32 slots: the low 32 bits pick the slot at any size.
inline std::uint32_t hashOf(std::string_view key) noexcept {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(key));
}

void place(DictIndex* index, std::uint32_t hash, std::uint32_t position) noexcept {
    DictSlot* slots = index->slots();
    std::size_t i = hash & index->mask;
    while (slots[i].position != 0) i = (i + 1) & index->mask;
    slots[i] = {hash, position + 1};
}

DictIndex* newTable(std::uint32_t capacity) {
    void* p = std::malloc(dictIndexBytes(capacity));
    if (!p) throw std::bad_alloc();
    auto* index = new (p) DictIndex{tableSize(capacity) - 1};
    std::memset(static_cast<void*>(index->slots()), 0, (std::size_t{index->mask} + 1) * sizeof(DictSlot));
    return index;
}

}  // namespace

std::size_t dictIndexBytes(std::uint32_t capacity) noexcept {
    return sizeof(DictIndex) + std::size_t{tableSize(capacity)} * sizeof(DictSlot);
}

DictIndex* newDictIndex(const DictionaryEntry* entries, std::uint32_t size, std::uint32_t capacity) {
    DictIndex* index = newTable(capacity);
    for (std::uint32_t i = 0; i < size; ++i) place(index, hashOf(entries[i].key()), i);
    return index;
}

DictIndex* grownDictIndex(DictIndex* from, std::uint32_t capacity) {
    // Tables come in powers of two: a block grown by a quarter often still fits its table.
    if (tableSize(capacity) == from->mask + 1) return from;
    DictIndex* index = newTable(capacity);
    const DictSlot* old = from->slots();
    for (std::size_t i = 0; i <= from->mask; ++i) {
        if (old[i].position != 0) place(index, old[i].hash, old[i].position - 1);
    }
    return index;
}

void freeDictIndex(DictIndex* index) noexcept { std::free(index); }

std::uint32_t dictIndexFind(const DictIndex* index, const DictionaryEntry* entries, std::string_view key) noexcept {
    const DictSlot* slots = index->slots();
    const std::uint32_t hash = hashOf(key);
    for (std::size_t i = hash & index->mask;; i = (i + 1) & index->mask) {
        const DictSlot s = slots[i];
        if (s.position == 0) return kNoEntry;
        if (s.hash == hash && entries[s.position - 1].key() == key) return s.position - 1;
    }
}

void dictIndexAdd(DictIndex* index, const DictionaryEntry* entries, std::uint32_t position) noexcept {
    place(index, hashOf(entries[position].key()), position);
}

void dictIndexRefill(DictIndex* index, const DictionaryEntry* entries, std::uint32_t size) noexcept {
    std::memset(static_cast<void*>(index->slots()), 0, (std::size_t{index->mask} + 1) * sizeof(DictSlot));
    for (std::uint32_t i = 0; i < size; ++i) place(index, hashOf(entries[i].key()), i);
}

}  // namespace orvalis::detail
