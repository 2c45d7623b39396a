#include <Orvalis/Foundation/Random.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace orvalis {
namespace {

struct Override {
    std::mutex mutex;
    std::shared_ptr<const RandomSource> source;
    std::atomic<bool> active{false};  // lets the normal path skip the lock
};

Override& override() {
    static Override o;
    return o;
}

}  // namespace

std::uint32_t arc4random_uniform(std::uint32_t upperBound) {
    Override& o = override();
    if (o.active.load(std::memory_order_acquire)) {
        std::shared_ptr<const RandomSource> s;
        {
            std::lock_guard lock(o.mutex);
            s = o.source;
        }
        if (s) return upperBound == 0 ? 0 : (*s)(upperBound) % upperBound;
    }
    return ::arc4random_uniform(upperBound);
}

void setRandomSourceForTesting(RandomSource source) {
    Override& o = override();
    auto s = source ? std::make_shared<const RandomSource>(std::move(source)) : nullptr;
    std::lock_guard lock(o.mutex);
    o.active.store(s != nullptr, std::memory_order_release);
    o.source = std::move(s);
}

}  // namespace orvalis
