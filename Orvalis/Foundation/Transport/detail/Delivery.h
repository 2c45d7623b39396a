#pragma once

// Internal to the library: not installed. Calls run on the URL session's
// delivery thread (Delivery.cpp): scheduled ones, for which it waits anyway (a
// pause between two steps of an operation costs no thread and blocks no
// completion), and failures of requests refused before sending. Large answers
// are decoded on the decode threads, so that no completion waits behind them.
#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Error.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

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

/// Answers of this many bytes or more are decoded off the delivery thread: a
/// smaller one decodes in a millisecond or two, less than handing it over costs.
inline constexpr std::size_t kDecodeOffThreadBytes = 16 * 1024;

/// Runs work on one of the decode threads (at most two, started on first use),
/// never inside this call; an exception it throws is logged. Work not started
/// when the process exits is dropped. Throws std::system_error when no thread
/// can start. Any thread may call it.
void runOnDecodeThread(std::function<void()> work);

/// Stops the decode threads for good (the session's exit path): waits a bounded
/// time for the work running on them, drops the rest.
void stopDecodeThreads() noexcept;

/// Frees what owned holds on a decode thread (here, should that fail): a large
/// answer can take as long to free as to decode. Any thread.
template <class... Owned>
void freeOnDecodeThread(Owned&&... owned) noexcept {
    try {
        runOnDecodeThread([... kept = std::move(owned)] {});
    } catch (...) {
        // Not queued: freed here when the call's copy goes.
    }
}

/// Calls deliver(decode()) on the delivery thread, where the caller is: in line
/// for an answer of fewer than kDecodeOffThreadBytes, otherwise decode runs on a
/// decode thread and deliver is handed back (either in line, should its hand-over
/// fail: no thread, no memory), and what deliver leaves of the answer is freed on
/// a decode thread too. What decode or deliver throw in line reaches the caller.
template <class Decode, class Deliver>
void decodeThenDeliver(std::size_t answerBytes, Decode decode, Deliver deliver) {
    if (answerBytes < kDecodeOffThreadBytes) {
        deliver(decode());
        return;
    }
    using Decoded = decltype(decode());
    auto steps = std::make_shared<std::pair<Decode, Deliver>>(std::move(decode), std::move(deliver));
    try {
        runOnDecodeThread([steps] {
            auto decoded = std::make_shared<Decoded>(steps->first());
            try {
                scheduleOnDeliveryThread(std::chrono::steady_clock::time_point::min(), [steps, decoded]() mutable {
                    try {
                        steps->second(std::move(*decoded));
                    } catch (...) {
                        freeOnDecodeThread(std::move(steps), std::move(decoded));
                        throw;
                    }
                    freeOnDecodeThread(std::move(steps), std::move(decoded));
                });
            } catch (...) {
                steps->second(std::move(*decoded));  // never scheduled: delivered here, still once
            }
        });
    } catch (...) {
        steps->second(steps->first());  // never queued: decoded here, as a small answer
    }
}

}  // namespace orvalis::detail
