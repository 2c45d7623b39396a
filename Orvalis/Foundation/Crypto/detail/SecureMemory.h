#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace orvalis::detail {

/// Overwrites size bytes at data with zeros in a way the compiler may not
/// optimise away, for copies of secrets (key files, passwords) about to be
/// freed. Does nothing when data is null or size is 0.
void secureWipe(void* data, std::size_t size) noexcept;

/// Wipes the whole buffer of a secret string (its capacity, so that bytes a
/// shorter value or a move left behind go too) and leaves it empty.
void secureWipe(std::string& secret) noexcept;
/// As above for an optional secret, which is left unset.
void secureWipe(std::optional<std::string>& secret) noexcept;

}  // namespace orvalis::detail
