#pragma once

// Internal to the library: not installed. Calls run on the URL session's
// delivery thread (Delivery.cpp): scheduled ones, for which it waits anyway (a
// pause between two steps of an operation costs no thread and blocks no
// completion), and failures of requests refused before sending.
#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Error.h>

#include <chrono>
#include <functional>
#include <memory>

namespace orvalis::detail {

struct ScheduledEntry;

/// A call waiting on the delivery thread; copies refer to the same call.
class ScheduledCall {
public:
    ScheduledCall() = default;
    explicit ScheduledCall(std::shared_ptr<ScheduledEntry> entry) noexcept : entry_(std::move(entry)) {}
    /// Brings the call forward: it runs as soon as the delivery thread gets to it
    /// (still there, still once). Any thread; nothing once it has run.
    void runNow() const;

private:
    std::shared_ptr<ScheduledEntry> entry_;
};

/// Runs call once on the delivery thread once the steady clock reaches when, never
/// inside this call; an exception it throws is logged. Calls still waiting when the
/// process exits are dropped. Throws std::system_error when the thread cannot start.
ScheduledCall scheduleOnDeliveryThread(std::chrono::steady_clock::time_point when, std::function<void()> call);

/// Calls onFailure with error on the URL session's delivery thread, as for a
/// request that failed before sending. Any thread may call it.
void failBeforeSending(Error error, FailureCallback onFailure);

}  // namespace orvalis::detail
