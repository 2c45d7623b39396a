#pragma once

// Internal to the library: not installed. Time-outs and waits that saturate:
// a host's "as long as it takes" (a maximum duration) must never overflow
// into a time point in the past.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace orvalis::detail {

/// A time-out at or beyond this means no limit (the steady clock plus it still fits in nanoseconds).
inline constexpr std::chrono::hours kNoTimeLimit{24 * 365 * 100};

/// Waits on cv until done() or limit has passed; true when done() holds. A
/// limit of kNoTimeLimit or more waits without limit.
template <class Rep, class Period, class Done>
bool waitAtMost(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                std::chrono::duration<Rep, Period> limit, Done done) {
    if (limit >= kNoTimeLimit) {
        cv.wait(lock, done);
        return true;
    }
    return cv.wait_for(lock, limit, done);
}

/// The steady-clock time limit after now, or none for kNoTimeLimit or more.
template <class Rep, class Period>
std::optional<std::chrono::steady_clock::time_point> deadlineAfter(std::chrono::duration<Rep, Period> limit) {
    if (limit >= kNoTimeLimit) return std::nullopt;
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
}

}  // namespace orvalis::detail
