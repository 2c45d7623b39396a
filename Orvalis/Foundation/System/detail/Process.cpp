#include <Orvalis/Foundation/System/detail/Process.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace orvalis::detail {

namespace {

// getpid() is a system call on every glibc since 2.25; the hot paths that ask it
// (every operation checks it still belongs to this process) read this copy, which
// a forked child refreshes before it runs any code of its own.
std::atomic<std::int64_t> cachedPid{0};

void refreshPid() noexcept { cachedPid.store(static_cast<std::int64_t>(::getpid()), std::memory_order_relaxed); }

}  // namespace

std::int64_t processId() noexcept {
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, &refreshPid);
        return true;
    }();
    (void)registered;
    std::int64_t pid = cachedPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        refreshPid();
        pid = cachedPid.load(std::memory_order_relaxed);
    }
    return pid;
}

std::string hostName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "unknown-host";
    return host;
}

}  // namespace orvalis::detail
