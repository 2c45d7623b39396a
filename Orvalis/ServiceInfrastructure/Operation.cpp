#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/detail/Contained.h>
#include <Orvalis/ServiceInfrastructure/Operation.h>
#include <Orvalis/ServiceInfrastructure/detail/OperationState.h>

#include <Orvalis/Foundation/Transport/detail/Durations.h>

#include <atomic>
#include <stdexcept>
#include <utility>

namespace orvalis {
namespace detail {

void ClientCore::add(const std::shared_ptr<OperationState>& state) {
    std::lock_guard lock(mutex);
    liveLocked().emplace(state.get(), state);
}

void ClientCore::remove(const OperationState* state) noexcept {
    std::lock_guard lock(mutex);
    liveLocked().erase(state);
    if (live.empty()) idle.notify_all();
}

namespace {

bool isCancelFailure(const OperationResult& outcome) noexcept {
    return outcome.error && outcome.error->code() == URLErrorCancelled && outcome.error->domain() == URLErrorDomain;
}

// What a cancel asked for before the operation completed turns its outcome into:
// the answer's status and headers stay, the answer itself does not.
OperationResult cancelled(OperationResult outcome) {
    OperationResult out;
    out.error = Error::withDescription(URLErrorDomain, URLErrorCancelled,
                                       outcome.response ? "The request was cancelled after its answer arrived."
                                                        : "The request was cancelled.");
    out.reached = outcome.reached;
    out.response = std::move(outcome.response);
    out.attempts = std::move(outcome.attempts);
    out.correlationId = std::move(outcome.correlationId);
    return out;
}

}  // namespace

void OperationState::complete(OperationResult outcome) noexcept {
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard lock(mutex);
        if (done || completing) return;
        if (cancelRequested && !isCancelFailure(outcome)) {
            try {
                outcome = cancelled(std::move(outcome));
            } catch (...) {
                outcome.answer.reset();  // no memory for the text: still never a success
            }
        }
        result = std::move(outcome);
        completing = true;  // decided: no cancel changes it now
        task.reset();
        backoff.reset();
        lastAttempt.reset();
    }
    // The observer reads the result before anyone can see the operation done: a
    // waiter arriving meanwhile still waits (done is set only afterwards).
    if (onCompleted) {
        try {
            onCompleted(result);
        } catch (...) {
            log("Operation: the observer threw at completion");
        }
    }
    {
        std::lock_guard lock(mutex);
        done = true;
        waiting.swap(continuations);
    }
    completed.notify_all();
    for (auto& continuation : waiting) callContained("Operation: a continuation", continuation);
    // Last, so that a host waiting for the client to go idle also sees the
    // continuations through (they may start further operations of their own).
    if (core) core->remove(this);
}

bool OperationState::cancel() {
    std::lock_guard lock(mutex);
    if (done || completing) return false;
    cancelRequested = true;
    if (task) {
        task->cancel();
    } else if (backoff) {
        backoff->runNow();  // the pause ends now: the next step sees the cancel and ends the operation
    }
    return true;
}

}  // namespace detail

Operation::Operation(std::shared_ptr<detail::OperationState> state) noexcept : state_(std::move(state)) {}

namespace {

const std::shared_ptr<detail::OperationState>& checked(const std::shared_ptr<detail::OperationState>& state) {
    if (!state) throw std::logic_error("orvalis::Operation: this handle was moved from and refers to no operation");
    return state;
}

}  // namespace

bool Operation::isDone() const noexcept {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    // Decided is done: a cancel() that found it so must not see it still running.
    return state_->done || state_->completing;
}

OperationResult Operation::get() const {
    checked(state_);
    std::unique_lock lock(state_->mutex);
    state_->completed.wait(lock, [this] { return state_->done; });
    return state_->result;
}

void Operation::wait() const {
    checked(state_);
    std::unique_lock lock(state_->mutex);
    state_->completed.wait(lock, [this] { return state_->done; });
}

std::future_status Operation::waitFor(std::chrono::nanoseconds timeout) const {
    checked(state_);
    std::unique_lock lock(state_->mutex);
    return detail::waitAtMost(state_->completed, lock, timeout, [this] { return state_->done; })
               ? std::future_status::ready
               : std::future_status::timeout;
}

std::future<OperationResult> Operation::future() const {
    checked(state_);
    auto promise = std::make_shared<std::promise<OperationResult>>();
    std::future<OperationResult> future = promise->get_future();
    std::unique_lock lock(state_->mutex);
    if (state_->done) {
        promise->set_value(state_->result);
    } else {
        // The state outlives its continuations, so a plain pointer to it is safe here.
        state_->continuations.emplace_back(
            [promise, state = state_.get()] { promise->set_value(state->result); });
    }
    return future;
}

bool Operation::cancel() const { return state_ && state_->cancel(); }

namespace {

// Resumes the coroutine through the client's executor, or here without one.
void resumeThrough(const std::shared_ptr<detail::ClientCore>& core, std::coroutine_handle<> continuation) {
    const Executor* executor = core ? &core->configuration.executor : nullptr;
    if (executor == nullptr || !*executor) {
        continuation.resume();
        return;
    }
    auto resumed = std::make_shared<std::atomic<bool>>(false);
    try {
        (*executor)([continuation, resumed] {
            if (!resumed->exchange(true)) continuation.resume();
        });
    } catch (...) {
        // An executor that cannot take the task must not strand the coroutine.
        log("Operation: the executor threw; resuming on this thread");
        if (!resumed->exchange(true)) continuation.resume();
    }
}

bool hasExecutor(const detail::OperationState& state) noexcept {
    return state.core && state.core->configuration.executor;
}

}  // namespace

bool Operation::await_ready() const noexcept {
    if (!state_) return false;  // await_suspend throws
    std::lock_guard lock(state_->mutex);
    return state_->done && !hasExecutor(*state_);
}

bool Operation::await_suspend(std::coroutine_handle<> continuation) const {
    checked(state_);
    std::unique_lock lock(state_->mutex);
    if (!state_->done) {
        state_->continuations.emplace_back([continuation, core = state_->core] { resumeThrough(core, continuation); });
        return true;
    }
    if (!hasExecutor(*state_)) return false;
    // Completed already: still resumed through the executor. The executor may resume
    // the coroutine before this returns, so nothing of its frame (this) is used after.
    std::shared_ptr<detail::ClientCore> core = state_->core;
    lock.unlock();
    resumeThrough(core, continuation);
    return true;
}

OperationResult Operation::await_resume() const {
    checked(state_);
    std::lock_guard lock(state_->mutex);
    return state_->result;
}

}  // namespace orvalis
