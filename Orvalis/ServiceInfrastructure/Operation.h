#pragma once

#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Value/Value.h>

#include <chrono>
#include <coroutine>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvalis {

/// Error domain of an operation of Client (and of the C and Python faces) that the
/// server answered with a status outside 2xx: the code is the HTTP status, the
/// result keeps the answer (response, body, serverErrorEntry) and Reached::Yes.
/// The callback facade ZRBOrvalis decodes such answers like any other instead.
inline constexpr const char* HTTPErrorDomain = "org.orvalis.HTTPErrorDomain";

/// Whether a failed operation's request may have reached the server.
enum class Reached {
    No,     ///< refused locally, or name lookup, connection or TLS failed before anything was sent
    Maybe,  ///< sending began but no answer came (lost connection, time-out, cancelled)
    Yes,    ///< the server answered (see OperationResult::response)
};

/// One attempt of an operation: which request went out, when, and how its exchange went.
struct ORVALIS_EXPORT AttemptRecord {
    /// The attempt's correlation id: the oauth_nonce its request carried, which the
    /// server sees in the Authorization header ("" for a request without one).
    std::string correlationId;
    /// When the attempt started, counted from the operation's start.
    std::chrono::microseconds startedAfter{0};
    /// How long its exchange's phases took (all zero when no transfer ran).
    URLSessionTaskMetrics timings;
    /// The answer's HTTP status, or 0 when no answer came.
    long statusCode = 0;
    /// Its failure, as the operation would report it; none on success.
    std::optional<Error> error;
};

/// Everything known about how one operation ended. Exactly one of answer and
/// error is set: an answer outside 2xx is an error of HTTPErrorDomain. Plain
/// data: copies share the Dictionaries, as everywhere.
struct ORVALIS_EXPORT OperationResult {
    /// On success: the decoded answer, as the success callback would receive it.
    std::optional<Dictionary> answer;
    /// On failure: the Error the failure callback would receive, unchanged.
    std::optional<Error> error;
    /// Status line and header fields of the answer, when one came (also on failure).
    std::optional<HTTPURLResponse> response;
    /// On a failure the server answered: the answer's body as it came (content
    /// encoding undone); none on success, where answer holds it decoded.
    std::optional<std::string> body;
    /// The first entry of the answer's "errors" array (JSON) or its Error element
    /// (XML), whole, when the server sent one as an object.
    std::optional<Dictionary> serverErrorEntry;
    /// Whether the request may have reached the server (Yes whenever an answer came);
    /// after several attempts, the furthest any of them got.
    Reached reached = Reached::No;
    /// Every attempt made, in order (none when the request was refused before sending).
    /// The result's own fields are those of the last one.
    std::vector<AttemptRecord> attempts;
    /// The last attempt's correlation id (its oauth_nonce), "" when none was made.
    std::string correlationId;

    /// True when the operation succeeded (answer is set).
    bool succeeded() const noexcept { return answer.has_value(); }
    /// The answer's HTTP status, or 0 when no answer came.
    long statusCode() const noexcept { return response ? response->statusCode : 0; }
};

/// Runs a task somewhere (for example on the host's main loop); see ClientConfiguration.
using Executor = std::function<void(std::function<void()> task)>;

namespace detail {
struct OperationState;
}  // namespace detail

/// A handle to one operation in flight, made by Client. Copies refer to the same
/// operation. It completes exactly once; every way of waiting sees that result.
/// Dropping every handle does not stop the operation (see cancel()). A
/// moved-from handle refers to none: isDone() is false, cancel() does nothing,
/// and the waiting members throw std::logic_error.
///
///     OperationResult r = co_await client.getPairingId(request);
///
/// A coroutine that awaits it resumes on the client's executor (also when the
/// operation had completed already), or without one on the library's delivery
/// thread (on the awaiting thread when it had completed). Never block (get(),
/// wait()) on the delivery thread.
class ORVALIS_EXPORT Operation {
public:
    /// True once the operation's result is decided: nothing (cancel() included)
    /// changes it any more. The client's observer may still be being told of it
    /// (OperationEventKind::Completed); get() and wait() return once it has been.
    /// So after cancel() returns false, isDone() is true. Any thread.
    bool isDone() const noexcept;

    /// Blocks until the operation has completed and returns its result. Any thread
    /// but the library's delivery thread (which would wait for itself).
    OperationResult get() const;
    /// Blocks until the operation has completed. Same thread rule as get().
    void wait() const;
    /// Waits at most timeout: `std::future_status::ready` once completed, else `std::future_status::timeout`.
    /// Saturates: a timeout of a hundred years or more (any duration's max()) waits without limit.
    template <class Rep, class Period>
    std::future_status wait_for(const std::chrono::duration<Rep, Period>& timeout) const {
        using Exact = std::chrono::duration<long double, std::nano>;
        if (Exact(timeout) >= Exact(std::chrono::nanoseconds::max())) return waitFor(std::chrono::nanoseconds::max());
        return waitFor(std::chrono::duration_cast<std::chrono::nanoseconds>(timeout));
    }
    /// A std::future that becomes ready with the result. Any thread; may be called again.
    std::future<OperationResult> future() const;

    /// Ends the operation with URLErrorCancelled (domain URLErrorDomain, -999) unless
    /// its result is decided already (isDone()), in which case nothing happens. Once
    /// cancel() returns, the result is the one decided before the call or the cancel
    /// failure, never a later success; when the answer had already arrived, the
    /// cancel failure keeps its response and Reached::Yes. The transfer is
    /// released at once; other operations are not disturbed. Any thread. True
    /// when the call decided the result; false when it was decided before (isDone()
    /// is then true).
    bool cancel() const;

    /// Coroutine support: `co_await operation` yields the OperationResult. True
    /// (no suspension) only when completed and no executor is configured.
    bool await_ready() const noexcept;
    /// Coroutine support: registers the coroutine, or hands it to the executor at
    /// once when completed; false (resume here) when completed without an executor.
    bool await_suspend(std::coroutine_handle<> continuation) const;
    /// Coroutine support: the result, once completed.
    OperationResult await_resume() const;

private:
    friend class Client;
    explicit Operation(std::shared_ptr<detail::OperationState> state) noexcept;
    std::future_status waitFor(std::chrono::nanoseconds timeout) const;
    std::shared_ptr<detail::OperationState> state_;
};

}  // namespace orvalis
