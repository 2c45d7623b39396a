#pragma once

// GoogleTest printers for the library's types: a failed assertion shows a
// Value, Dictionary, Array or Error as its description(), not as raw bytes.
// Found by argument-dependent lookup, so they live in the types' namespace;
// every test gets this header through the test support target.

#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace orvalis {

inline void PrintTo(const Value& v, std::ostream* os) { *os << v.description(); }
inline void PrintTo(const Dictionary& d, std::ostream* os) { *os << d.description(); }
inline void PrintTo(const Array& a, std::ostream* os) { *os << Value(a).description(); }
inline void PrintTo(const Error& e, std::ostream* os) { *os << e.description(); }

}  // namespace orvalis

namespace orvalis::testsupport {

// Names the rows of a TEST_P table after their `name` member.
struct RowName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return info.param.name;
    }
};

}  // namespace orvalis::testsupport
