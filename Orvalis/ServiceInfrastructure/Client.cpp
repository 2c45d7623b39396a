#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/detail/LogScope.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/Durations.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/RequestTarget.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/Foundation/Value/detail/UTF8.h>
#include <Orvalis/Networking/detail/AnswerDecoding.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/ServiceInfrastructure/detail/OperationState.h>
#include <Orvalis/ServiceInfrastructure/detail/RetryRules.h>
#include <Orvalis/ServiceInfrastructure/detail/StartThreads.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <utility>

// Each operation runs the same stages as the callback API, top-down:
// prepare (every local check, the signature), record (the journal's entry,
// when the client keeps one), exchange (one cancellable transfer), decode
// (once, within the answer budget; the journal gets the outcome), then the result.
// The caller's thread only hands the operation over: a start thread prepares and
// signs each attempt, the journal's own writer records it, the delivery thread
// decodes and completes; the outcome goes back to the writer, waited for by nobody.
namespace orvalis {
namespace {

using std::chrono::milliseconds;

// The request's oauth_nonce, as written in its Authorization header: what the
// server sees, so the host can find this exchange in the server's records.
std::string nonceOf(const URLRequest& request) {
    std::optional<std::string> header = request.valueForHTTPHeaderField("Authorization");
    if (!header) return {};
    constexpr std::string_view key = "oauth_nonce=\"";
    const size_t start = header->find(key);
    if (start == std::string::npos) return {};
    const size_t end = header->find('"', start + key.size());
    return end == std::string::npos ? std::string() : header->substr(start + key.size(), end - start - key.size());
}

void startExchange(const std::shared_ptr<detail::OperationState>& state, URLRequest request);
void beginAttempt(const std::shared_ptr<detail::OperationState>& state,
                  const std::function<detail::PreparedRequest()>& prepare);

// Runs one of the client's stages with its log lines redacted, unless the client asked for
// full ones. Only the stage: host code it leads to (continuations, callbacks) runs outside.
template <class Stage>
auto withClientLogLines(const detail::OperationState& state, Stage&& stage) {
    const detail::RedactedLogScope lines(!state.core->configuration.fullLogLines);
    return stage();
}

void observe(const detail::OperationState& state, const OperationEvent& event) noexcept {
    const OperationObserver& observer = state.core->configuration.observer;
    if (!observer) return;
    try {
        observer(event);
    } catch (...) {
        log(std::string("Client: the observer threw (") + state.name + ")");
    }
}

// Preparing and signing take their time (a slow key source): the deadline is
// checked again right before the exchange, so no attempt starts past it.
bool pastDeadline(const detail::OperationState& state) {
    return state.deadline && std::chrono::steady_clock::now() >= *state.deadline;
}

// The operation ends with result, which keeps the story of every attempt.
void conclude(const std::shared_ptr<detail::OperationState>& state, OperationResult result) {
    if (!state->attempts.empty()) {
        result.correlationId = state->attempts.back().correlationId;
        result.reached = std::max(result.reached, state->furthest);
        result.attempts = state->attempts;
    }
    state->complete(std::move(result));
}

// Completions run on the delivery thread, also those decided on a start thread or the journal's writer.
void endOnDeliveryThread(const std::shared_ptr<detail::OperationState>& state, OperationResult result) {
    auto end = std::make_shared<OperationResult>(std::move(result));
    try {
        detail::scheduleOnDeliveryThread(std::chrono::steady_clock::time_point::min(),
                                         [state, end] { conclude(state, std::move(*end)); });
    } catch (...) {
        conclude(state, std::move(*end));  // no delivery thread: here, still once
    }
}

Error notInTime() {
    return Error::withDescription(URLErrorDomain, URLErrorTimedOut,
                                  "The request timed out: the overall time-out passed before it could be sent.");
}

// An attempt that is not made ends the operation: with the last attempt's result, or, before the
// first, with why. A cancel turns either into the cancel failure.
void endUnmade(const std::shared_ptr<detail::OperationState>& state, Error why) {
    OperationResult result;
    if (state->unmade) {
        result = std::move(*state->unmade);
    } else {
        result.error = std::move(why);
    }
    state->unmade.reset();
    endOnDeliveryThread(state, std::move(result));
}

bool cancelled(detail::OperationState& state) {
    std::lock_guard lock(state.mutex);
    return state.cancelRequested;
}

Error couldNotSend(const std::exception_ptr& failure) {
    std::string why = "something was thrown";
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        why = e.what();
    } catch (...) {
    }
    return Error::withDescription(URLErrorDomain, URLErrorUnknown, "The request could not be sent: " + why);
}

Error cancelFailure() { return Error::withDescription(URLErrorDomain, URLErrorCancelled, "The request was cancelled."); }

// One attempt, on a start thread: prepared and signed with its own nonce and timestamp,
// then recorded and sent. A cancel that came first sends nothing.
void beginAttempt(const std::shared_ptr<detail::OperationState>& state,
                  const std::function<detail::PreparedRequest()>& prepare) {
    if (cancelled(*state)) {
        endUnmade(state, cancelFailure());
        return;
    }
    try {
        detail::PreparedRequest prepared = withClientLogLines(*state, prepare);
        if (prepared.refusal) {
            state->unmade.reset();
            OperationResult refused;
            refused.error = std::move(prepared.refusal);
            endOnDeliveryThread(state, std::move(refused));
            return;
        }
        if (pastDeadline(*state)) {  // signing took its time
            endUnmade(state, notInTime());
            return;
        }
        withClientLogLines(*state, [&] { startExchange(state, std::move(*prepared.request)); });
    } catch (...) {
        state->unmade.reset();
        OperationResult failed;
        failed.error = couldNotSend(std::current_exception());
        endOnDeliveryThread(state, std::move(failed));
    }
}

// The next attempt, once the pause is over (or cut short by a cancel): prepared and
// signed afresh on a start thread, with its own nonce and timestamp.
void nextAttempt(const std::shared_ptr<detail::OperationState>& state) {
    OperationResult last;
    bool stop = false;
    {
        std::lock_guard lock(state->mutex);
        state->backoff.reset();
        if (!state->lastAttempt) return;  // completed meanwhile
        last = std::move(*state->lastAttempt);
        state->lastAttempt.reset();
        stop = state->cancelRequested || pastDeadline(*state);
    }
    if (stop) {
        conclude(state, std::move(last));  // a cancel turns it into the cancel failure
        return;
    }
    state->unmade = std::move(last);
    auto begin = [state] { beginAttempt(state, state->prepareAgain); };
    try {
        detail::runOnStartThread(begin);
    } catch (const std::system_error&) {
        begin();  // no start thread: signed here, as a single-threaded host would
    }
}

// The pause before another attempt at what ended so, or none when the
// operation ends here: the rules of RetryPolicy, the deadline and Retry-After.
std::optional<milliseconds> pauseBeforeRetry(const detail::OperationState& state, bool readOnly,
                                             const std::optional<Error>& transportError,
                                             const std::optional<HTTPURLResponse>& response, Reached reached) {
    const int made = static_cast<int>(state.attempts.size()) + 1;  // the attempt just ended included
    if (made >= state.retry.maxAttempts) return std::nullopt;
    if (!detail::mayRetry(readOnly, transportError, response ? response->statusCode : 0, reached)) return std::nullopt;
    milliseconds pause = detail::backoffBefore(made + 1, state.retry);
    if (std::optional<milliseconds> asked = detail::retryAfter(response)) {
        if (*asked > state.retry.maxRetryAfter) return std::nullopt;
        pause = std::max(pause, *asked);
    }
    // No attempt starts past the deadline, and no pause is slept that would pass it.
    if (state.deadline && std::chrono::steady_clock::now() + pause >= *state.deadline) return std::nullopt;
    return pause;
}

void logAttempt(const detail::OperationState& state, const AttemptRecord& record,
                const std::optional<milliseconds>& pause) {
    if (!logEnabled()) return;
    std::string line = std::string("Client: ") + state.name + " attempt " + std::to_string(state.attempts.size());
    line += " of " + std::to_string(std::max(1, state.retry.maxAttempts)) + " (" + record.correlationId + "): ";
    line += record.error ? record.error->description() : "HTTP " + std::to_string(record.statusCode);
    line += pause ? "; next attempt in " + std::to_string(pause->count()) + " ms" : "; no further attempt";
    log(line);
}

// The decode stage: the answer decoded once. On these faces an answer outside 2xx
// is a failure of its own whatever its body holds; the body and the server's entry stay.
OperationResult decided(const std::optional<std::string>& data, const std::optional<Error>& error,
                        std::optional<HTTPURLResponse> response) {
    detail::DecodedAnswer decoded = detail::decodeAnswer(data, error);
    OperationResult result;
    result.answer = std::move(decoded.answer);
    result.error = std::move(decoded.error);
    result.serverErrorEntry = std::move(decoded.serverErrorEntry);
    const long status = response ? response->statusCode : 0;
    if (!error && response && (status < 200 || status > 299)) {
        std::string text = "The server answered with HTTP status " + std::to_string(status);
        if (result.serverErrorEntry && result.error) text += " (" + result.error->localizedDescription() + ")";
        result.error = Error::withDescription(HTTPErrorDomain, status, text + ".");
        result.answer.reset();
    }
    if (result.error && data && response) result.body = *data;
    result.response = std::move(response);
    return result;
}

// What the exchange showed, kept beside its decoded outcome.
struct ExchangeEnd {
    AttemptRecord record;
    Reached reached = Reached::Yes;
    std::optional<milliseconds> pause;
};

void afterDecode(const std::shared_ptr<detail::OperationState>& state, ExchangeEnd end, OperationResult result);

// The decode stage: in line on the delivery thread, or for a large answer on a
// decode thread, handed back to the delivery thread for the journal's outcome
// and what follows. Then the operation ends, or pauses before its next attempt.
void finishExchange(const std::shared_ptr<detail::OperationState>& state, std::optional<std::string> data,
                    std::optional<HTTPURLResponse> response, std::optional<Error> error) {
    ExchangeEnd end;
    AttemptRecord& record = end.record;
    record.correlationId = std::move(state->attemptNonce);
    record.startedAfter =
        std::chrono::duration_cast<std::chrono::microseconds>(state->attemptStartedAt - state->startedAt);
    record.statusCode = response ? response->statusCode : 0;
    {
        std::lock_guard lock(state->mutex);
        if (state->task) record.timings = state->task->metrics();
        const bool sent = state->task ? state->task->requestMayHaveBeenSent() : state->answeredSent;
        if (!response) end.reached = sent ? Reached::Maybe : Reached::No;
    }
    end.pause = pauseBeforeRetry(*state, state->readOnly, error, response, end.reached);
    const std::size_t bytes = data ? data->size() : 0;
    detail::decodeThenDeliver(
        bytes,
        [state, data = std::move(data), response = std::move(response), error = std::move(error)]() mutable {
            return withClientLogLines(*state, [&] { return decided(data, error, std::move(response)); });
        },
        [state, end = std::move(end)](OperationResult result) mutable {
            afterDecode(state, std::move(end), std::move(result));
        });
}

void afterDecode(const std::shared_ptr<detail::OperationState>& state, ExchangeEnd end, OperationResult result) {
    AttemptRecord& record = end.record;
    const Reached reached = end.reached;
    const std::optional<milliseconds>& pause = end.pause;
    result.reached = reached;
    record.error = result.error;
    if (state->journal) detail::recordOutcome(*state->journal, reached, record.statusCode, result.error, result.answer);
    state->attempts.push_back(std::move(record));
    state->furthest = std::max(state->furthest, reached);
    logAttempt(*state, state->attempts.back(), pause);

    bool retrying = false;
    if (pause) {
        std::lock_guard lock(state->mutex);
        // Decided under the lock a cancel takes: it either comes first and ends the
        // operation here, or finds the pause and cuts it short.
        if (!state->cancelRequested) {
            state->task.reset();
            state->lastAttempt = result;
            state->backoff = detail::scheduleOnDeliveryThread(std::chrono::steady_clock::now() + *pause,
                                                               [state] { nextAttempt(state); });
            retrying = true;
        }
    }
    OperationEvent event;
    event.kind = OperationEventKind::AttemptEnded;
    event.operation = state->name;
    event.attempt = static_cast<int>(state->attempts.size());
    event.attemptRecord = &state->attempts.back();
    if (retrying) event.retryIn = pause;
    observe(*state, event);
    if (!retrying) conclude(state, std::move(result));
}

// The exchange without the network: the host's answerer plays the server, on the
// delivery thread, and what it says goes through the same decode and retry steps.
void answerInProcess(const std::shared_ptr<detail::OperationState>& state, URLRequest request) {
    detail::scheduleOnDeliveryThread(std::chrono::steady_clock::now(), [state, request = std::move(request)] {
        AnswererReply reply;
        try {
            reply = state->core->configuration.answerer(request);
        } catch (...) {
            reply.failure = Error::withDescription(URLErrorDomain, URLErrorUnknown, "The in-process answerer threw.");
            reply.requestSent = false;
        }
        state->answeredSent = reply.failure && reply.requestSent;
        if (reply.failure) {
            finishExchange(state, std::nullopt, std::nullopt, reply.failure);
        } else {
            finishExchange(state, std::move(reply.body),
                           HTTPURLResponse{reply.statusCode, request.URL(), std::move(reply.headers)}, std::nullopt);
        }
    });
}

// The exchange stage: one transfer with the operation's time-outs, cancellable from the start.
void send(const std::shared_ptr<detail::OperationState>& state, URLRequest request) {
    state->unmade.reset();
    if (state->core->configuration.answerer) {
        answerInProcess(state, std::move(request));
        return;
    }
    URLSessionDataTask task = detail::sessionFor(state->core->configuration.connectionLimits).dataTaskWithRequest(
        request,
        [state](std::optional<std::string> data, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
            finishExchange(state, std::move(data), std::move(response), std::move(error));
        });
    if (state->deadline) task.setDeadline(*state->deadline);
    detail::useTransportSettings(task, state->core->transport);
    std::lock_guard lock(state->mutex);
    state->task.emplace(std::move(task));
    // cancelAll() may have reached the operation before its task existed.
    if (state->cancelRequested) state->task->cancel();
    try {
        state->task->resume();
    } catch (...) {
        state->task.reset();  // the unsent task's completion holds the state
        throw;
    }
}

// The record stage: the entry goes to the journal's own writer, which sends the request once
// the entry is durable. Each entry waits for a locked journal until its own deadline only.
void recordThenSend(const std::shared_ptr<detail::OperationState>& state, URLRequest request) {
    detail::EntryJob job;
    job.entry = detail::journalEntry(*state->journal, state->name, state->attemptNonce, request);
    job.startedAt = state->attempts.empty() ? state->startedAt : state->attemptStartedAt;
    // The job's done holds the state, so a plain pointer to it is safe here.
    job.abandoned = [raw = state.get()] { return cancelled(*raw) || pastDeadline(*raw); };
    job.done = [state, request = std::move(request)](std::int64_t id, std::optional<std::string> failure) mutable {
        state->journal->entry = id;
        if (failure) {  // nothing is sent: a payment the journal cannot record is not made
            state->unmade.reset();
            OperationResult refused;
            refused.error = detail::cannotRecord(*failure);
            endOnDeliveryThread(state, std::move(refused));
            return;
        }
        std::optional<Error> unsent;
        if (cancelled(*state)) {
            unsent = cancelFailure();
        } else if (pastDeadline(*state)) {
            unsent = notInTime();
        } else {
            try {
                withClientLogLines(*state, [&] { send(state, std::move(request)); });
                return;
            } catch (...) {
                unsent = couldNotSend(std::current_exception());
                state->unmade.reset();
            }
        }
        // Recorded, never sent: the entry says so, rather than look like a payment that may have gone out.
        detail::recordOutcome(*state->journal, Reached::No, 0, unsent, std::nullopt);
        endUnmade(state, std::move(*unsent));
    };
    state->journal->writer->recordAttempt(std::move(job));
}

void startExchange(const std::shared_ptr<detail::OperationState>& state, URLRequest request) {
    if (request.HTTPBody() && logEnabled()) log("Request : " + detail::validUTF8Text(*request.HTTPBody()));
    request.setTimeoutInterval(state->idleSeconds);
    state->attemptNonce = nonceOf(request);
    state->readOnly = request.HTTPMethod() == "GET";
    state->attemptStartedAt = std::chrono::steady_clock::now();
    if (state->journal) {
        recordThenSend(state, std::move(request));
    } else {
        send(state, std::move(request));
    }
}

void stamp(ZRBBaseServiceRequest& request, const ClientConfiguration& configuration) {
    if (!request.host()) request.setHost(configuration.host);
    if (!request.consumerKey()) request.setConsumerKey(configuration.consumerKey);
    // A request that names a key of its own keeps it, in whichever form.
    if (!request.merchantKeySource() && !request.merechantKeyFileName()) {
        request.setMerchantKeySource(configuration.keySource);
    }
    if (!request.merechantKeyFileName()) request.setMerechantKeyFileName(configuration.keyFileName);
    if (!request.merechantKeyFilePassword()) request.setMerechantKeyFilePassword(configuration.keyFilePassword);
}

// A time-out of 0 or less would end every operation at once (or, in the
// transfer library, mean its own default): it is a host's mistake.
void checkTimeouts(milliseconds idle, const std::optional<milliseconds>& overall) {
    if (idle <= milliseconds::zero()) throw std::invalid_argument("the idle time-out must be above zero");
    if (overall && *overall <= milliseconds::zero()) {
        throw std::invalid_argument("the overall time-out must be above zero (leave it unset for no limit)");
    }
}

double seconds(milliseconds duration) { return std::chrono::duration<double>(duration).count(); }

// What the client sets for its own transfers.
std::shared_ptr<const detail::TransportSettings> transportOf(const ClientConfiguration& c) {
    auto lineSafe = [](const std::string& text, const char* what) {
        if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw std::invalid_argument(std::string("Client: the ") + what + " holds a line break or NUL");
        }
    };
    lineSafe(c.userAgent, "user agent");
    if (c.proxy) lineSafe(*c.proxy, "proxy");
    auto settings = std::make_shared<detail::TransportSettings>();
    settings->userAgent = c.userAgent.empty() ? detail::defaultUserAgent() : c.userAgent;
    settings->proxy = c.proxy;
    for (const std::string& file : c.trustedCertificateFiles) {
        std::optional<std::string> pem = detail::readCertificatesPEM(file);
        if (!pem) throw std::invalid_argument("Client: no readable PEM certificate in \"" + file + "\"");
        settings->trustedPEM += *pem;
    }
    for (const auto& [host, pins] : c.pinnedPublicKeys) {
        if (!detail::wellFormedPins(pins)) {
            throw std::invalid_argument("Client: the pins for \"" + host + "\" are not \"sha256//<base64>\" entries joined by \";\"");
        }
        std::string lower = host;
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (!pins.empty()) settings->pins[lower] = pins;
    }
    return settings;
}

}  // namespace

Client::Client(ClientConfiguration configuration) : core_(std::make_shared<detail::ClientCore>()) {
    checkTimeouts(configuration.idleTimeout, configuration.overallTimeout);
    detail::checkRetryPolicy(configuration.retry);
    if (configuration.connectionLimits && !configuration.connectionLimits->valid()) {
        throw std::invalid_argument("Client: a connection limit is out of its range (see ConnectionLimits)");
    }
    core_->transport = transportOf(configuration);
    if (!configuration.journal && !configuration.journalPath.empty()) {
        configuration.journal = openJournal(configuration.journalPath);
    }
    // Limits of its own give the client a transport of its own (shared with clients of the same limits).
    if (configuration.connectionLimits) detail::sessionFor(configuration.connectionLimits);
    if (configuration.journal) core_->journalWriter = detail::JournalWriter::of(configuration.journal);
    core_->configuration = std::move(configuration);
    detail::secureWipe(configuration.keyFilePassword);  // what a move leaves behind in a short string
}

Client::~Client() {
    // Operations in flight keep the core; only the secret is taken from it now.
    std::lock_guard lock(core_->mutex);
    detail::secureWipe(core_->configuration.keyFilePassword);
}

template <class Request>
Operation Client::run(Request& request, const OperationOptions& options, const char* name) const {
    const ClientConfiguration& configuration = core_->configuration;
    const milliseconds idle = options.idleTimeout.value_or(configuration.idleTimeout);
    const std::optional<milliseconds> overall = options.overallTimeout ? options.overallTimeout
                                                                       : configuration.overallTimeout;
    checkTimeouts(idle, overall);
    RetryPolicy retry = configuration.retry;
    if (options.maxAttempts) {
        retry.maxAttempts = *options.maxAttempts;
        detail::checkRetryPolicy(retry);
    }
    stamp(request, configuration);
    auto state = std::make_shared<detail::OperationState>();
    state->core = core_;
    state->name = name;
    state->startedAt = std::chrono::steady_clock::now();
    state->idleSeconds = seconds(idle);
    if (overall) state->deadline = detail::deadlineAfter(*overall);
    state->retry = retry;
    state->journal = detail::journalFacts(configuration, core_->journalWriter, name, request);
    const detail::PreparePolicy policy{configuration.requireSignature};
    // Only a policy that may try again needs its own copy of the request.
    if (state->retry.maxAttempts > 1) {
        state->prepareAgain = [request, policy] { return detail::prepare(request, policy); };
    }
    if (configuration.observer) {
        state->onCompleted = [raw = state.get()](const OperationResult& result) {
            OperationEvent event;
            event.kind = OperationEventKind::Completed;
            event.operation = raw->name;
            event.attempt = static_cast<int>(result.attempts.size());
            event.result = &result;
            observe(*raw, event);
        };
        OperationEvent started;
        started.operation = name;
        observe(*state, started);
    }
    core_->add(state);
    try {
        std::function<detail::PreparedRequest()> prepare = state->prepareAgain;
        if (!prepare) prepare = [request = std::move(request), policy] { return detail::prepare(request, policy); };
        // Signing is the costly part of a start: on a start thread, so that a burst uses every core.
        auto begin = [state, prepare = std::move(prepare)] { beginAttempt(state, prepare); };
        try {
            detail::runOnStartThread(begin);
        } catch (const std::system_error&) {
            begin();  // no start thread: prepared here
        }
    } catch (...) {
        core_->remove(state.get());
        throw;
    }
    return Operation(std::move(state));
}

Operation Client::initializePairing(ZRBInitializePairingRequest request, const OperationOptions& options) const {
    return run(request, options, "initializePairing");
}

Operation Client::getPairingId(ZRBPairingIDServiceRequest request, const OperationOptions& options) const {
    return run(request, options, "getPairingId");
}

Operation Client::authorizePairing(ZRBAuthorisePairingRequest request, const OperationOptions& options) const {
    return run(request, options, "authorizePairing");
}

Operation Client::getPrecheckoutData(ZRBPrecheckoutDataRequest request,
                                            const OperationOptions& options) const {
    return run(request, options, "getPrecheckoutData");
}

Operation Client::expressCheckout(ZRBExpressCheckoutDataRequest request,
                                             const OperationOptions& options) const {
    return run(request, options, "expressCheckout");
}

Operation Client::getPaymentData(ZRBPaymentDataRequest request, const OperationOptions& options) const {
    return run(request, options, "getPaymentData");
}

std::size_t Client::inFlight() const noexcept {
    std::lock_guard lock(core_->mutex);
    return core_->liveLocked().size();
}

bool Client::waitUntilIdle(std::chrono::milliseconds timeout) const {
    const std::optional<std::chrono::steady_clock::time_point> until = detail::deadlineAfter(timeout);
    {
        std::unique_lock lock(core_->mutex);
        if (!detail::waitAtMost(core_->idle, lock, timeout, [this] { return core_->liveLocked().empty(); })) return false;
    }
    // The outcomes of what completed are on their way to the journal: idle once they are written.
    return !core_->journalWriter || core_->journalWriter->waitUntilWritten(until);
}

std::shared_ptr<Journal> Client::journal() const noexcept { return core_->configuration.journal; }

void Client::cancelAll() const {
    std::vector<std::shared_ptr<detail::OperationState>> running;
    {
        std::lock_guard lock(core_->mutex);
        for (auto& [key, weak] : core_->liveLocked()) {
            if (auto state = weak.lock()) running.push_back(std::move(state));
        }
    }
    for (auto& state : running) state->cancel();
}

}  // namespace orvalis
