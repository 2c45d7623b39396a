#pragma once

#include <cstddef>

namespace orvalis::detail {

/// Overwrites size bytes at data with zeros in a way the compiler may not
/// optimise away, for copies of secrets (key files, passwords) about to be
/// freed. Does nothing when data is null or size is 0.
void secureWipe(void* data, std::size_t size) noexcept;

}  // namespace orvalis::detail
