#pragma once

// The widest ordinary answer the faces must decode.
#include <cstddef>
#include <string>

namespace orvalis::testsupport {

/// {"k0":0,"k1":0,...}: an object of n short members (1.09 MB for 100,000), then last if given.
inline std::string wideAnswer(std::size_t n, const std::string& last = "") {
    std::string s = "{";
    for (std::size_t i = 0; i < n; ++i) s += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
    return s + (last.empty() ? "" : ",") + last + "}";
}

}  // namespace orvalis::testsupport
