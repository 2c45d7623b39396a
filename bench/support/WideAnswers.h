#pragma once

// The widest answers the benchmarks decode: one object or element of n distinct
// keys ("key0" ... "key<n-1>"), each holding its own index.
#include <cstddef>
#include <string>

namespace orvalis::bench {

inline std::string wideJSON(std::size_t n) {
    std::string s = "{";
    for (std::size_t i = 0; i < n; ++i) s += (i ? ",\"key" : "\"key") + std::to_string(i) + "\":" + std::to_string(i);
    return s + "}";
}

inline std::string wideXML(std::size_t n) {
    std::string s = "<answer>";
    for (std::size_t i = 0; i < n; ++i) {
        std::string name = "key" + std::to_string(i);
        s += "<" + name + ">" + std::to_string(i) + "</" + name + ">";
    }
    return s + "</answer>";
}

}  // namespace orvalis::bench
