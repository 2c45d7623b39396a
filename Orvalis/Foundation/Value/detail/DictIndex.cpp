#include <Orvalis/Foundation/Value/detail/DictIndex.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

namespace orvalis::detail {

// Slots hold an entry's position plus one (0: empty). The table is kept at
// most two-thirds full so that linear probing stays short.
struct DictIndex {
    std::uint32_t mask;
    std::uint32_t* slots() noexcept { return reinterpret_cast<std::uint32_t*>(this + 1); }
    const std::uint32_t* slots() const noexcept { return reinterpret_cast<const std::uint32_t*>(this + 1); }
};

namespace {

std::uint32_t tableSize(std::uint32_t capacity) noexcept {
    const std::uint64_t want = std::uint64_t{capacity} + capacity / 2 + 1;
    std::uint64_t n = 32;
    while (n < want) n <<= 1;
    return static_cast<std::uint32_t>(n);
}

inline std::size_t hashOf(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }

void place(DictIndex* index, std::string_view key, std::uint32_t position) noexcept {
    std::uint32_t* slots = index->slots();
    std::size_t i = hashOf(key) & index->mask;
    while (slots[i] != 0) i = (i + 1) & index->mask;
    slots[i] = position + 1;
}

}  // namespace

std::size_t dictIndexBytes(std::uint32_t capacity) noexcept {
    return sizeof(DictIndex) + std::size_t{tableSize(capacity)} * sizeof(std::uint32_t);
}

DictIndex* newDictIndex(const DictionaryEntry* entries, std::uint32_t size, std::uint32_t capacity) {
    void* p = std::malloc(dictIndexBytes(capacity));
    if (!p) throw std::bad_alloc();
    auto* index = new (p) DictIndex{tableSize(capacity) - 1};
    dictIndexRefill(index, entries, size);
    return index;
}

void freeDictIndex(DictIndex* index) noexcept { std::free(index); }

std::uint32_t dictIndexFind(const DictIndex* index, const DictionaryEntry* entries, std::string_view key) noexcept {
    const std::uint32_t* slots = index->slots();
    for (std::size_t i = hashOf(key) & index->mask;; i = (i + 1) & index->mask) {
        const std::uint32_t s = slots[i];
        if (s == 0) return kNoEntry;
        if (entries[s - 1].key() == key) return s - 1;
    }
}

void dictIndexAdd(DictIndex* index, const DictionaryEntry* entries, std::uint32_t position) noexcept {
    place(index, entries[position].key(), position);
}

void dictIndexRefill(DictIndex* index, const DictionaryEntry* entries, std::uint32_t size) noexcept {
    std::memset(index->slots(), 0, (std::size_t{index->mask} + 1) * sizeof(std::uint32_t));
    for (std::uint32_t i = 0; i < size; ++i) place(index, entries[i].key(), i);
}

}  // namespace orvalis::detail
