#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Foundation/detail/Durations.h>
#include <Orvalis/Foundation/detail/RequestTarget.h>
#include <Orvalis/Foundation/detail/SecureMemory.h>
#include <Orvalis/Foundation/detail/UTF8.h>
#include <Orvalis/Networking/detail/AnswerDecoding.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/ServiceInfrastructure/detail/OperationState.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

#include <stdexcept>
#include <utility>

// Each operation runs the same stages as the callback API, top-down:
// prepare (every local check, the signature), exchange (one cancellable
// transfer), decode (once, within the answer budget), then the result.
namespace orvalis {
namespace {

using std::chrono::milliseconds;

// The decode stage, on the delivery thread; what the exchange showed is kept beside it.
void finishExchange(const std::shared_ptr<detail::OperationState>& state, const std::optional<std::string>& data,
                    std::optional<HTTPURLResponse> response, const std::optional<Error>& error) {
    detail::DecodedAnswer decoded = detail::decodeAnswer(data, error);
    OperationResult result;
    result.answer = std::move(decoded.answer);
    result.error = std::move(decoded.error);
    result.serverErrorEntry = std::move(decoded.serverErrorEntry);
    if (response) {
        result.reached = Reached::Yes;
    } else {
        std::lock_guard lock(state->mutex);
        result.reached = state->task && state->task->requestMayHaveBeenSent() ? Reached::Maybe : Reached::No;
    }
    result.response = std::move(response);
    state->complete(std::move(result));
}

// The exchange stage: one transfer with the operation's time-outs, cancellable from the start.
void startExchange(const std::shared_ptr<detail::OperationState>& state, URLRequest request) {
    if (request.HTTPBody() && logEnabled()) log("Request : " + detail::validUTF8Text(*request.HTTPBody()));
    request.setTimeoutInterval(state->idleSeconds);
    URLSessionDataTask task = URLSession::sharedSession().dataTaskWithRequest(
        request,
        [state](std::optional<std::string> data, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
            finishExchange(state, data, std::move(response), error);
        });
    if (state->deadline) task.setDeadline(*state->deadline);
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

// A refusal of the prepare stage, reported later on the delivery thread like any failure.
void refuse(const std::shared_ptr<detail::OperationState>& state, Error refusal) {
    detail::failBeforeSending(std::move(refusal), [state](Error error) {
        OperationResult result;
        result.error = std::move(error);
        state->complete(std::move(result));
    });
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

}  // namespace

Client::Client(ClientConfiguration configuration) : core_(std::make_shared<detail::ClientCore>()) {
    checkTimeouts(configuration.idleTimeout, configuration.overallTimeout);
    core_->configuration = std::move(configuration);
    detail::secureWipe(configuration.keyFilePassword);  // what a move leaves behind in a short string
}

Client::~Client() {
    // Operations in flight keep the core; only the secret is taken from it now.
    std::lock_guard lock(core_->mutex);
    detail::secureWipe(core_->configuration.keyFilePassword);
}

template <class Request>
Operation Client::run(Request& request, const OperationOptions& options) const {
    const ClientConfiguration& configuration = core_->configuration;
    const milliseconds idle = options.idleTimeout.value_or(configuration.idleTimeout);
    const std::optional<milliseconds> overall = options.overallTimeout ? options.overallTimeout
                                                                       : configuration.overallTimeout;
    checkTimeouts(idle, overall);
    stamp(request, configuration);
    auto state = std::make_shared<detail::OperationState>();
    state->core = core_;
    state->idleSeconds = seconds(idle);
    if (overall) state->deadline = detail::deadlineAfter(*overall);
    core_->add(state);
    try {
        detail::PreparedRequest prepared = detail::prepare(request, {configuration.requireSignature});
        if (prepared.refusal) {
            refuse(state, std::move(*prepared.refusal));
        } else {
            startExchange(state, std::move(*prepared.request));
        }
    } catch (...) {
        core_->remove(state.get());
        throw;
    }
    return Operation(std::move(state));
}

Operation Client::initializePairing(ZRBInitializePairingRequest request, const OperationOptions& options) const {
    return run(request, options);
}

Operation Client::getPairingIDService(ZRBPairingIDServiceRequest request, const OperationOptions& options) const {
    return run(request, options);
}

Operation Client::authorizePairing(ZRBAuthorisePairingRequest request, const OperationOptions& options) const {
    return run(request, options);
}

Operation Client::getPreCheckoutDataService(ZRBPrecheckoutDataRequest request,
                                            const OperationOptions& options) const {
    return run(request, options);
}

Operation Client::expressCheckoutDataService(ZRBExpressCheckoutDataRequest request,
                                             const OperationOptions& options) const {
    return run(request, options);
}

Operation Client::getChekcoutResourceService(ZRBPaymentDataRequest request, const OperationOptions& options) const {
    return run(request, options);
}

std::size_t Client::inFlight() const noexcept {
    std::lock_guard lock(core_->mutex);
    return core_->live.size();
}

bool Client::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(core_->mutex);
    return detail::waitAtMost(core_->idle, lock, timeout, [this] { return core_->live.empty(); });
}

void Client::cancelAll() const {
    std::vector<std::shared_ptr<detail::OperationState>> running;
    {
        std::lock_guard lock(core_->mutex);
        for (auto& [key, weak] : core_->live) {
            if (auto state = weak.lock()) running.push_back(std::move(state));
        }
    }
    for (auto& state : running) state->cancel();
}

}  // namespace orvalis
