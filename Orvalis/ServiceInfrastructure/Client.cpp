#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/detail/SecureMemory.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Foundation/detail/UTF8.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/ServiceInfrastructure/detail/OperationState.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>
#include <Orvalis/Utils/XMLParser.h>

#include <exception>
#include <utility>

// The handles reuse the services unchanged: each operation calls ZRBOrvalis with
// a SendRoute in place, so the request is signed and built exactly as for the
// callback API, and only the exchange runs here, where its task can be
// cancelled and its status, headers and reach can be seen.
namespace orvalis {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The first error entry of a failed answer, whole: a JSON "errors" array's first
// object, or an XML answer's Error element.
std::optional<Dictionary> firstErrorEntry(const std::string& body) {
    try {
        if (std::optional<Value> json = JSONSerialization::JSONObjectWithData(body)) {
            if (!json->isDictionary()) return std::nullopt;
            const Value* errors = json->asDictionary().find("errors");
            if (errors == nullptr || !errors->isArray()) return std::nullopt;
            const Array list = errors->asArray();
            if (list.empty() || !list[0].isDictionary()) return std::nullopt;
            return list[0].asDictionary();
        }
        XMLParser parser;
        std::optional<Dictionary> root = parser.dictionaryWithData(body);
        const Value* entry = root ? root->find("Error") : nullptr;
        if (entry != nullptr && entry->isArray()) {
            const Array repeated = entry->asArray();  // several Error elements: the first
            if (!repeated.empty() && repeated[0].isDictionary()) return repeated[0].asDictionary();
        } else if (entry != nullptr && entry->isDictionary()) {
            return entry->asDictionary();
        }
    } catch (const std::exception& e) {
        log(std::string("Operation: the error entry could not be read: ") + e.what());
    }
    return std::nullopt;
}

// Runs on the delivery thread: the callback API's own completion steps decide
// success or failure; the rest of what the exchange showed is added to it.
void finishExchange(const std::shared_ptr<detail::OperationState>& state, std::optional<std::string> data,
                    std::optional<HTTPURLResponse> response, std::optional<Error> error) {
    OperationResult result;
    try {
        detail::runCompletionSteps(
            data, error,
            [&result](Dictionary answer) {
                if (!result.answer && !result.error) result.answer = std::move(answer);
            },
            [&result](Error failure) {
                if (!result.answer && !result.error) result.error = std::move(failure);
            });
    } catch (...) {
    }
    if (!result.answer && !result.error) {
        result.error = Error::withDescription(kZRBNetworkErrorDomain, kZRBNetworkErrorCode, "Server Error");
    }
    if (result.error && data && result.error->domain() == kZRBNetworkErrorDomain) {
        result.serverErrorEntry = firstErrorEntry(*data);
    }
    if (response) {
        result.reached = Reached::Yes;
    } else {
        std::lock_guard lock(state->mutex);
        result.reached = state->task && state->task->requestMayHaveBeenSent() ? Reached::Maybe : Reached::No;
    }
    result.response = std::move(response);
    state->complete(std::move(result));
}

struct RouteContext {
    std::shared_ptr<detail::OperationState> state;
};

void sendRouted(void* context, const URLRequest& signedRequest) {
    std::shared_ptr<detail::OperationState> state = static_cast<RouteContext*>(context)->state;
    if (signedRequest.HTTPBody() && logEnabled()) log("Request : " + detail::validUTF8Text(*signedRequest.HTTPBody()));
    std::optional<URLRequest> adjusted;
    if (signedRequest.timeoutInterval() != state->idleSeconds) {
        adjusted = signedRequest;
        adjusted->setTimeoutInterval(state->idleSeconds);
    }
    URLSessionDataTask task = URLSession::sharedSession().dataTaskWithRequest(
        adjusted ? *adjusted : signedRequest,
        [state](std::optional<std::string> data, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
            finishExchange(state, std::move(data), std::move(response), std::move(error));
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

void stamp(ZRBBaseServiceRequest& request, const ClientConfiguration& configuration) {
    if (!request.host()) request.setHost(configuration.host);
    if (!request.consumerKey()) request.setConsumerKey(configuration.consumerKey);
    if (!request.merechantKeyFileName()) request.setMerechantKeyFileName(configuration.keyFileName);
    if (!request.merechantKeyFilePassword()) request.setMerechantKeyFilePassword(configuration.keyFilePassword);
}

double seconds(std::chrono::milliseconds duration) { return std::chrono::duration<double>(duration).count(); }

}  // namespace

Client::Client(ClientConfiguration configuration) : core_(std::make_shared<detail::ClientCore>()) {
    core_->configuration = std::move(configuration);
}

Client::~Client() {
    // Operations in flight keep the core; only the secret is taken from it now.
    std::lock_guard lock(core_->mutex);
    if (std::optional<std::string>& password = core_->configuration.keyFilePassword) {
        detail::secureWipe(password->data(), password->size());
        password.reset();
    }
}

template <class Request, class Start>
Operation Client::run(Request& request, const OperationOptions& options, Start start) const {
    const ClientConfiguration& configuration = core_->configuration;
    stamp(request, configuration);
    auto state = std::make_shared<detail::OperationState>();
    state->core = core_;
    state->idleSeconds = seconds(options.idleTimeout.value_or(configuration.idleTimeout));
    if (auto overall = options.overallTimeout ? options.overallTimeout : configuration.overallTimeout) {
        state->deadline = SteadyClock::now() + *overall;
    }
    core_->add(state);
    try {
        RouteContext context{state};
        detail::SendRoute route(&sendRouted, &context);
        // Called only when a service refuses the request before sending it.
        start(
            core_->orvalis, request,
            [state](Dictionary answer) {
                OperationResult result;
                result.answer = std::move(answer);
                state->complete(std::move(result));
            },
            [state](Error error) {
                OperationResult result;
                result.error = std::move(error);
                state->complete(std::move(result));
            });
    } catch (...) {
        core_->remove(state.get());
        throw;
    }
    return Operation(std::move(state));
}

Operation Client::initializePairing(ZRBInitializePairingRequest request, const OperationOptions& options) const {
    return run(request, options, [](const ZRBOrvalis& o, const auto& r, SuccessCallback ok, FailureCallback fail) {
        o.initializePairing(r, std::move(ok), std::move(fail));
    });
}

Operation Client::getPairingIDService(ZRBPairingIDServiceRequest request, const OperationOptions& options) const {
    return run(request, options, [](const ZRBOrvalis& o, const auto& r, SuccessCallback ok, FailureCallback fail) {
        o.getPairingIDService(r, std::move(ok), std::move(fail));
    });
}

Operation Client::authorizePairing(ZRBAuthorisePairingRequest request, const OperationOptions& options) const {
    return run(request, options, [](const ZRBOrvalis& o, const auto& r, SuccessCallback ok, FailureCallback fail) {
        o.authorizePairing(r, std::move(ok), std::move(fail));
    });
}

Operation Client::getPreCheckoutDataService(ZRBPrecheckoutDataRequest request,
                                            const OperationOptions& options) const {
    return run(request, options, [](const ZRBOrvalis& o, const auto& r, SuccessCallback ok, FailureCallback fail) {
        o.getPreCheckoutDataService(r, std::move(ok), std::move(fail));
    });
}

Operation Client::expressCheckoutDataService(ZRBExpressCheckoutDataRequest request,
                                             const OperationOptions& options) const {
    return run(request, options, [](const ZRBOrvalis& o, const auto& r, SuccessCallback ok, FailureCallback fail) {
        o.expressCheckoutDataService(r, std::move(ok), std::move(fail));
    });
}

Operation Client::getChekcoutResourceService(ZRBPaymentDataRequest request, const OperationOptions& options) const {
    return run(request, options, [](const ZRBOrvalis& o, const auto& r, SuccessCallback ok, FailureCallback fail) {
        o.getChekcoutResourceService(r, std::move(ok), std::move(fail));
    });
}

std::size_t Client::inFlight() const noexcept {
    std::lock_guard lock(core_->mutex);
    return core_->live.size();
}

bool Client::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(core_->mutex);
    return core_->idle.wait_for(lock, timeout, [this] { return core_->live.empty(); });
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
