#include <Orvalis/Foundation/System/detail/ProcessThreads.h>

#include <pthread.h>
#include <sched.h>

#include <thread>

namespace orvalis::detail {

std::size_t usableCores() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int usable = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
    if (usable > 0) return static_cast<std::size_t>(usable);
    const unsigned all = std::thread::hardware_concurrency();
    return all > 0 ? all : 1;
}

bool callAroundFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
    return pthread_atfork(prepare, parent, child) == 0;
}

}  // namespace orvalis::detail
