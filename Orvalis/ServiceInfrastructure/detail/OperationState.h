#pragma once

// Internal to the operation handles: not installed.
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/Foundation/System/detail/Process.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/TransportSettings.h>
#include <Orvalis/ServiceInfrastructure/Operation.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalSteps.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>


namespace orvalis::detail {

/// What a client shares with its operations: they may outlive the Client object.
struct ClientCore {
    ClientConfiguration configuration;
    std::shared_ptr<const TransportSettings> transport;  // user agent, proxy, anchors, pins
    std::shared_ptr<JournalWriter> journalWriter;         // the journal's own thread, when there is a journal
    mutable std::mutex mutex;
    mutable std::condition_variable idle;
    std::unordered_map<const OperationState*, std::weak_ptr<OperationState>> live;  // read through liveLocked()
    std::int64_t pid = detail::processId();  // the process live belongs to

    /// The operations in flight, with the mutex held. In a child after fork() those
    /// of the parent are forgotten: they never complete here.
    std::unordered_map<const OperationState*, std::weak_ptr<OperationState>>& liveLocked() noexcept {
        if (pid != detail::processId()) {
            live.clear();
            pid = detail::processId();
        }
        return live;
    }
    void add(const std::shared_ptr<OperationState>& state);
    void remove(const OperationState* state) noexcept;
};

/// One operation: its exchange, its result once complete, and who waits for it.
struct OperationState {
    std::shared_ptr<ClientCore> core;
    double idleSeconds = 180.0;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    const char* name = "";
    RetryPolicy retry;
    std::chrono::steady_clock::time_point startedAt;
    /// Prepares (checks, writes, signs) the request once more: each attempt is fresh.
    std::function<PreparedRequest()> prepareAgain;
    /// Told of the final result before any waiter wakes (the client's observer).
    std::function<void(const OperationResult&)> onCompleted;

    // The attempt in flight and those before it: one thread at a time, handed from the start
    // thread to the journal's writer and the delivery thread.
    std::chrono::steady_clock::time_point attemptStartedAt;
    std::string attemptNonce;
    bool readOnly = false;  // a GET: the server may see it twice
    bool answeredSent = false;  // an answerer's failure: whether it says the request went out
    std::vector<AttemptRecord> attempts;
    Reached furthest = Reached::No;
    std::optional<JournalFacts> journal;  // when the client records this operation
    /// What the operation ends with when the attempt being started is not made: the
    /// last attempt's result (none before the first attempt).
    std::optional<OperationResult> unmade;

    std::mutex mutex;  // guards everything below
    std::condition_variable completed;
    bool done = false;
    bool completing = false;  // the result is decided; done follows once the observer has seen it
    bool cancelRequested = false;
    OperationResult result;
    std::optional<URLSessionDataTask> task;           // the exchange, once it was handed over
    std::optional<ScheduledCall> backoff;             // the next attempt, while pausing before it
    std::optional<OperationResult> lastAttempt;       // what the operation ends with if no attempt follows
    std::vector<std::function<void()>> continuations;  // run once, right after completion

    /// Records the result (the first one wins; once cancel() was asked, it
    /// becomes the cancel failure, keeping the response), wakes every waiter,
    /// runs the continuations, then tells the client. Never throws.
    void complete(OperationResult outcome) noexcept;
    /// Cancels the exchange, ends a pause between attempts at once, or marks the
    /// operation so it is cancelled when handed over; false (and nothing done) when it had completed.
    bool cancel();
};

}  // namespace orvalis::detail
