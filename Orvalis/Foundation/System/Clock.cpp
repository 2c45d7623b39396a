#include <Orvalis/Foundation/System/Clock.h>
#include <Orvalis/Foundation/System/TestSeams.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace orvalis {
namespace {

struct Override {
    std::mutex mutex;
    std::shared_ptr<const ClockSource> clock;
    std::atomic<bool> active{false};  // lets the normal path skip the lock
};

Override& override() {
    static Override o;
    return o;
}

}  // namespace

double currentTimeIntervalSince1970() {
    Override& o = override();
    if (o.active.load(std::memory_order_acquire)) {
        std::shared_ptr<const ClockSource> c;
        {
            std::lock_guard lock(o.mutex);
            c = o.clock;
        }
        if (c) return (*c)();
    }
    // system_clock counts Unix time (since C++20).
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void setClockForTesting(ClockSource clock) {
    Override& o = override();
    auto c = clock ? std::make_shared<const ClockSource>(std::move(clock)) : nullptr;
    std::lock_guard lock(o.mutex);
    o.active.store(c != nullptr, std::memory_order_release);
    o.clock = std::move(c);
}

}  // namespace orvalis
