#pragma once

// Internal to the library: not installed.
#include <Orvalis/Foundation/System/Log.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace orvalis::detail {

/// Runs call on one of the library's own threads, where nothing may leave: what it
/// throws is logged as "<who> threw: <what>" and goes no further.
template <class Call>
void callContained(std::string_view who, Call&& call) {
    try {
        std::forward<Call>(call)();
    } catch (const std::exception& e) {
        log(std::string(who) + " threw: " + e.what());
    } catch (...) {
        log(std::string(who) + " threw a non-standard exception");
    }
}

}  // namespace orvalis::detail
