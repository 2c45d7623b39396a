#include <Orvalis/Foundation/System/Random.h>
#include <Orvalis/Foundation/System/TestSeams.h>

#include <atomic>
#include <memory>
#include <mutex>

#include <openssl/rand.h>
#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <cstring>
#include <random>

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

// A fork copies the buffers below into the child: it must not hand out the
// parent's values, so a fork makes every inherited buffer stale.
std::atomic<unsigned> forkGeneration{0};

// glibc's arc4random asks the kernel for every draw (a system call per nonce):
// draws come from a per-thread buffer that OpenSSL's generator fills in bulk.
// Each value is used once and wiped.
std::uint32_t bufferedRandom() {
    struct Buffer {
        unsigned char bytes[256];
        std::size_t used = sizeof bytes;
        unsigned generation = 0;
    };
#if defined(_WIN32)
    constexpr bool registered = true;  // no fork
#else
    static const bool registered = [] {
        return pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1, std::memory_order_relaxed); }) == 0;
    }();
#endif
    thread_local Buffer b;
    const unsigned generation = forkGeneration.load(std::memory_order_relaxed);
    if (!registered || b.used + 4 > sizeof b.bytes || b.generation != generation) {
        if (!registered || RAND_bytes(b.bytes, sizeof b.bytes) != 1) {
            thread_local std::random_device device;
            return device();
        }
        b.used = 0;
        b.generation = generation;
    }
    std::uint32_t r = 0;
    std::memcpy(&r, b.bytes + b.used, sizeof r);
    std::memset(b.bytes + b.used, 0, sizeof r);
    b.used += sizeof r;
    return r;
}

// Draws below 2^32 mod bound are rejected so that every result is equally likely.
std::uint32_t uniform(std::uint32_t upperBound) {
    if (upperBound < 2) return 0;
    const std::uint32_t floor = (0u - upperBound) % upperBound;
    for (;;) {
        const std::uint32_t r = bufferedRandom();
        if (r >= floor) return r % upperBound;
    }
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
    return uniform(upperBound);
}

void setRandomSourceForTesting(RandomSource source) {
    Override& o = override();
    auto s = source ? std::make_shared<const RandomSource>(std::move(source)) : nullptr;
    std::lock_guard lock(o.mutex);
    o.active.store(s != nullptr, std::memory_order_release);
    o.source = std::move(s);
}

}  // namespace orvalis
