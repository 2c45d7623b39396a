#pragma once

// Collects the success and failure callbacks of operations, in the order they ran.
#include <Orvalis/Foundation/Callbacks.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
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
        return [this, tag, held = held_](Dictionary d) { record(tag, std::move(d), {}); };
    }
    FailureCallback failure(std::size_t tag = 0) {
        return [this, tag, held = held_](Error e) { record(tag, {}, std::move(e)); };
    }
    /// Waits (bounded) until n callbacks have arrived.
    bool waitFor(std::size_t n, std::chrono::seconds limit = std::chrono::seconds(60)) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, limit, [&] { return order_.size() >= n; });
    }
    /// Waits (bounded) until the library has let go of every callback handed out: none can run after.
    bool waitReleased() {
        for (int i = 0; i < 60000 && held_.use_count() > 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return held_.use_count() == 1;
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
    std::shared_ptr<int> held_ = std::make_shared<int>();  // one more owner per callback the library holds
};

}  // namespace orvalis::testsupport
