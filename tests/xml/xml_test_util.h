#pragma once

#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Value.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string_view>

namespace orvalis {
// Failure messages show trees as text rather than bytes.
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.description(); }
}  // namespace orvalis

namespace orvalis::testing {

// Expected trees are written as JSON: shorter than building Dictionaries.
inline Value json(std::string_view text) {
    auto v = JSONSerialization::JSONObjectWithData(text);
    EXPECT_TRUE(v) << "bad expectation: " << text;
    return v ? *v : Value();
}

}  // namespace orvalis::testing
