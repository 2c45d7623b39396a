#pragma once

// Collects the success and failure callbacks of operations, in the order they ran.
#include <Orvalis/Foundation/Callbacks.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvalis::testsupport {

/// Collects the callbacks of one or more operations; tag tells the operations apart.
class Outcomes {
public:
    SuccessCallback success(std::size_t tag = 0) {
        return [this, tag](Dictionary d) { record(tag, std::move(d), {}); };
    }
    FailureCallback failure(std::size_t tag = 0) {
        return [this, tag](Error e) { record(tag, {}, std::move(e)); };
    }
    /// Waits (bounded) until n callbacks have arrived.
    bool waitFor(std::size_t n, std::chrono::seconds limit = std::chrono::seconds(60)) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, limit, [&] { return order_.size() >= n; });
    }
    struct One {
        std::optional<Dictionary> success;
        std::optional<Error> failure;
        std::thread::id thread;  // never the caller's: callbacks come from the delivery thread
        std::size_t tag = 0;
        std::string describe() const {
            return success ? success->description() : failure ? failure->description() : "nothing";
        }
    };
    std::vector<One> all() {
        std::lock_guard lock(m_);
        return order_;
    }

private:
    void record(std::size_t tag, std::optional<Dictionary> d, std::optional<Error> e) {
        std::lock_guard lock(m_);
        order_.push_back({std::move(d), std::move(e), std::this_thread::get_id(), tag});
        cv_.notify_all();
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<One> order_;
};

}  // namespace orvalis::testsupport
