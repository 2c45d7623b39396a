#pragma once

// Counts the callbacks of many requests, so a test can check that each
// request got exactly one, and waits for all of them with a deadline.

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Value.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvalis::reliability {

class Ledger {
public:
    explicit Ledger(std::size_t requests) : successes_(requests), failures_(requests), errors_(requests) {}

    SuccessCallback onSuccess(std::size_t i) {
        return [this, i](Dictionary) { record(successes_[i]); };
    }
    /// As onSuccess, handing the dictionary to inspect first (on the delivery thread).
    SuccessCallback onSuccess(std::size_t i, std::function<void(const Dictionary&)> inspect) {
        return [this, i, inspect = std::move(inspect)](Dictionary d) {
            inspect(d);
            record(successes_[i]);
        };
    }
    FailureCallback onFailure(std::size_t i) {
        return [this, i](Error e) {
            {
                std::lock_guard lock(mutex_);
                errors_[i] = std::move(e);
            }
            record(failures_[i]);
        };
    }

    /// Waits until every request got a callback; false at the deadline.
    bool waitAll(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, limit, [&] { return calls_ >= successes_.size(); });
    }

    std::size_t size() const { return successes_.size(); }
    int successes(std::size_t i) const { return successes_[i].load(); }
    int failures(std::size_t i) const { return failures_[i].load(); }
    std::optional<Error> error(std::size_t i) const {
        std::lock_guard lock(mutex_);
        return errors_[i];
    }
    std::size_t calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void record(std::atomic<int>& counter) {
        counter.fetch_add(1);
        std::lock_guard lock(mutex_);
        ++calls_;
        done_.notify_all();
    }

    std::vector<std::atomic<int>> successes_;
    std::vector<std::atomic<int>> failures_;
    std::vector<std::optional<Error>> errors_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::size_t calls_ = 0;
};

/// Resident set size of this process in bytes, after handing freed heap
/// memory back to the system.
std::size_t residentBytes();
/// Peak resident set size of this process so far, in bytes.
std::size_t peakResidentBytes();

/// True in a build under AddressSanitizer or ThreadSanitizer, whose shadow
/// memory and quarantines make RSS figures meaningless and threads slow.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace orvalis::reliability
