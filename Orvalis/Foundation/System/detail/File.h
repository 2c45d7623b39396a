#pragma once

#include <optional>
#include <string>

namespace orvalis::detail {

/// The whole content of the file at path, or no value when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

}  // namespace orvalis::detail
