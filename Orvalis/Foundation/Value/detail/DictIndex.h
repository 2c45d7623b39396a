#pragma once

#include <Orvalis/Foundation/Value/Value.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvalis::detail {

/// An open-addressed table of entry positions for a wide Dictionary, so that
/// lookup and insertion stay constant-time at any width. Sized for a
/// capacity: it never grows, it is rebuilt when the entries' block grows.
struct DictIndex;

/// No position: the key is absent.
inline constexpr std::uint32_t kNoEntry = UINT32_MAX;

/// Bytes a table for capacity entries takes (for the decode budget).
std::size_t dictIndexBytes(std::uint32_t capacity) noexcept;
/// A table for capacity entries holding entries[0, size); throws std::bad_alloc.
DictIndex* newDictIndex(const DictionaryEntry* entries, std::uint32_t size, std::uint32_t capacity);
/// A table for capacity entries holding what from holds: from itself when it has
/// room, else a new one made from its hashes; throws std::bad_alloc.
DictIndex* grownDictIndex(DictIndex* from, std::uint32_t capacity);
/// Frees a table; nullptr is fine.
void freeDictIndex(DictIndex* index) noexcept;
/// The position of key among entries, or kNoEntry.
std::uint32_t dictIndexFind(const DictIndex* index, const DictionaryEntry* entries, std::string_view key) noexcept;
/// Records entries[position], just appended (its key absent before).
void dictIndexAdd(DictIndex* index, const DictionaryEntry* entries, std::uint32_t position) noexcept;
/// Refills the table from entries[0, size) after entries moved (a removal).
void dictIndexRefill(DictIndex* index, const DictionaryEntry* entries, std::uint32_t size) noexcept;

}  // namespace orvalis::detail
