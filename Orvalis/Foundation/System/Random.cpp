#include <Orvalis/Foundation/System/Random.h>
#include <Orvalis/Foundation/System/TestSeams.h>

#include <atomic>
#include <memory>
#include <mutex>

#include <stdlib.h>

#if !defined(ORVALIS_HAVE_ARC4RANDOM_UNIFORM)
#include <openssl/rand.h>

#include <random>
#endif

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

#if !defined(ORVALIS_HAVE_ARC4RANDOM_UNIFORM)
// For C libraries without arc4random_uniform (musl, Windows, glibc before
// 2.36): OpenSSL's generator, with draws below 2^32 mod bound rejected so that
// every result is equally likely.
std::uint32_t portableUniform(std::uint32_t upperBound) {
    if (upperBound < 2) return 0;
    const std::uint32_t floor = (0u - upperBound) % upperBound;
    for (;;) {
        std::uint32_t r = 0;
        if (RAND_bytes(reinterpret_cast<unsigned char*>(&r), sizeof r) != 1) {
            thread_local std::random_device device;
            r = device();
        }
        if (r >= floor) return r % upperBound;
    }
}
#endif

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
#if defined(ORVALIS_HAVE_ARC4RANDOM_UNIFORM)
    return ::arc4random_uniform(upperBound);
#else
    return portableUniform(upperBound);
#endif
}

void setRandomSourceForTesting(RandomSource source) {
    Override& o = override();
    auto s = source ? std::make_shared<const RandomSource>(std::move(source)) : nullptr;
    std::lock_guard lock(o.mutex);
    o.active.store(s != nullptr, std::memory_order_release);
    o.source = std::move(s);
}

}  // namespace orvalis
