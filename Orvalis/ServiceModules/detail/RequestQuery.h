#pragma once

// Internal to the request classes: not installed.
#include <Orvalis/Foundation/Value/Value.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvalis::detail {

// An unset field has no text to send, so its parameter is left out rather
// than sent as an empty or null value.
inline void addQueryParam(Dictionary& query, std::string_view name, const std::optional<std::string>& value) {
    if (value) query.set(name, Value(*value));
}

}  // namespace orvalis::detail
