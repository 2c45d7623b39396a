#pragma once

#include <optional>
#include <string>

#include <Orvalis/Foundation/Export.h>

namespace orvalis {

/// The whole content of the file at path, or no value when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

}  // namespace orvalis
