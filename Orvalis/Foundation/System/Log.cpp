#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/detail/LogScope.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace orvalis {
namespace {

struct LogState {
    std::mutex mutex;
    std::shared_ptr<const LogHandler> handler = std::make_shared<const LogHandler>(stderrLogHandler);
    std::atomic<bool> enabled{true};
};

LogState& state() {
    static LogState s;
    return s;
}

// Whether this thread's lines are redacted now (see RedactedLogScope).
thread_local bool t_redacted = false;

}  // namespace

detail::RedactedLogScope::RedactedLogScope(bool redacted) noexcept : previous_(t_redacted) { t_redacted = redacted; }

detail::RedactedLogScope::~RedactedLogScope() { t_redacted = previous_; }

void stderrLogHandler(std::string_view line) {
    std::string out(line);
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stderr);
}

void setLogHandler(LogHandler handler) {
    LogState& s = state();
    bool on = static_cast<bool>(handler);
    auto h = on ? std::make_shared<const LogHandler>(std::move(handler)) : nullptr;
    std::lock_guard lock(s.mutex);
    s.handler = std::move(h);
    s.enabled.store(on, std::memory_order_release);
}

void resetLogHandler() { setLogHandler(stderrLogHandler); }

bool logEnabled() noexcept { return state().enabled.load(std::memory_order_acquire); }

void log(std::string_view line) {
    LogState& s = state();
    if (!s.enabled.load(std::memory_order_acquire)) return;
    std::shared_ptr<const LogHandler> h;
    {
        std::lock_guard lock(s.mutex);
        h = s.handler;
    }
    if (!h) return;
    try {
        if (t_redacted) {
            (*h)(detail::redactedLine(line));
        } else {
            (*h)(line);
        }
    } catch (...) {
        // A failing log sink must never take the library down with it.
    }
}

}  // namespace orvalis
