#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Foundation/detail/Durations.h>
#include <Orvalis/Foundation/detail/RequestTarget.h>
#include <Orvalis/Foundation/detail/SecureMemory.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

using namespace orvalis;
using orvalis::detail::copyForCaller;
using orvalis::detail::covers;
using orvalis::detail::failWith;
using orvalis::detail::guarded;
using orvalis::detail::guardedText;

// The C names of the library's own constants must never drift from them.
static_assert(ORVALIS_URL_ERROR_CANCELLED == URLErrorCancelled);
static_assert(ORVALIS_URL_ERROR_TIMED_OUT == URLErrorTimedOut);
static_assert(ORVALIS_URL_ERROR_CANNOT_CONNECT_TO_HOST == URLErrorCannotConnectToHost);
static_assert(ORVALIS_URL_ERROR_NETWORK_CONNECTION_LOST == URLErrorNetworkConnectionLost);
static_assert(ORVALIS_URL_ERROR_CANNOT_SIGN_REQUEST == URLErrorCannotSignRequest);
static_assert(ORVALIS_URL_ERROR_CANNOT_WRITE_BODY == URLErrorCannotWriteBody);
static_assert(ORVALIS_URL_ERROR_BAD_PATH_SEGMENT == URLErrorBadPathSegment);
static_assert(std::string_view(ORVALIS_URL_ERROR_DOMAIN) == URLErrorDomain);
static_assert(std::string_view(ORVALIS_NETWORK_ERROR_DOMAIN) == kZRBNetworkErrorDomain);
static_assert(ORVALIS_REACHED_NO == static_cast<int>(Reached::No) &&
              ORVALIS_REACHED_MAYBE == static_cast<int>(Reached::Maybe) &&
              ORVALIS_REACHED_YES == static_cast<int>(Reached::Yes));

namespace {

thread_local std::optional<std::string> t_lastError;
// Set while a completion callback runs: a wait there would wait for its own thread.
thread_local bool t_inCompletion = false;

// Counts a C client's operations from start until their callback has returned
// (the C++ client forgets an operation before a callback that had to be posted
// runs); shared with the operations, which may outlive the client.
struct Tracker {
    std::mutex mutex;
    std::condition_variable idle;
    std::size_t running = 0;

    void started() {
        std::lock_guard lock(mutex);
        ++running;
    }
    void finished() {
        std::lock_guard lock(mutex);
        if (--running == 0) idle.notify_all();
    }
};

}  // namespace

struct orvalis_client {
    explicit orvalis_client(ClientConfiguration configuration) : client(std::move(configuration)) {}
    Client client;
    std::shared_ptr<Tracker> tracker = std::make_shared<Tracker>();
};

struct orvalis_operation {
    std::optional<Operation> operation;  // set once started; allocated first so that nothing fails after the start
};

namespace orvalis::detail {

orvalis_status failWith(orvalis_status status, std::string_view message) noexcept {
    try {
        t_lastError = std::string(message);
    } catch (...) {
        t_lastError.reset();  // no room for the text: the status still tells
    }
    return status;
}

char* copyForCaller(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

}  // namespace orvalis::detail

namespace {

orvalis_status invalid(std::string_view what) { return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, what); }

std::optional<std::string> optionalText(const char* text) {
    return text == nullptr ? std::nullopt : std::optional<std::string>(text);
}

orvalis_status waitStatus(bool completed) {
    return completed ? ORVALIS_OK : failWith(ORVALIS_ERROR_TIMEOUT, "the time-out passed first");
}

// A coroutine that nobody awaits: it runs until its first suspension, and its
// frame goes when it ends.
struct Detached {
    struct promise_type {
        Detached get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        // Before its first suspension only (on the starting thread): the start fails.
        void unhandled_exception() { throw; }
    };
};

// Suspends until the operation completes; resumes on the delivery thread (the C
// client sets no executor). Tells whether it had completed before the
// coroutine could attach itself, in which case it resumed right away.
struct Completed {
    const Operation& operation;
    bool first = false;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> self) {
        // Once attached, the coroutine may resume elsewhere at once: touch nothing.
        if (operation.await_suspend(self)) return true;
        first = true;
        return false;
    }
    bool await_resume() const noexcept { return first; }
};

struct Completion {
    orvalis_completion callback;
    void* userData;
    std::shared_ptr<Tracker> tracker;
};

void report(const Completion& completion, const Operation& operation) noexcept {
    if (completion.callback != nullptr) {
        try {
            orvalis_result result{operation.await_resume()};
            t_inCompletion = true;
            completion.callback(&result, completion.userData);
        } catch (...) {
            // Only a C++ function passed as the callback can get here.
            log("orvalis: a completion callback threw");
        }
        t_inCompletion = false;
    }
    completion.tracker->finished();
}

Detached deliver(Operation operation, Completion completion) {
    if (co_await Completed{operation}) {
        // Done before the callback was attached, so we are still inside the
        // call that started it: the callback goes to the delivery thread.
        detail::failBeforeSending(Error::withDescription(URLErrorDomain, URLErrorUnknown, ""),
                                  [operation, completion](const Error&) { report(completion, operation); });
        co_return;
    }
    report(completion, operation);
}

template <class CRequest>
orvalis_status checkStart(const orvalis_client* client, const CRequest* request, const orvalis_call_options* options,
                          orvalis_operation** operationOut) {
    if (operationOut != nullptr) *operationOut = nullptr;
    if (client == nullptr) return invalid("no client");
    if (!covers(request)) return invalid("no request, or its struct_size is too small");
    if (!detail::acceptableCallOptions(options)) {
        return invalid("the call options' struct_size is too small, a time-out negative or the attempts out of range");
    }
    return ORVALIS_OK;
}

// Starts one operation of the client and attaches the callback to it.
template <class CRequest, class Build, class Start>
orvalis_status startOperation(const orvalis_client* client, const CRequest* request,
                              const orvalis_call_options* options, orvalis_completion completion, void* userData,
                              orvalis_operation** operationOut, Build build, Start start) {
    if (orvalis_status status = checkStart(client, request, options, operationOut); status != ORVALIS_OK) {
        return status;
    }
    return guarded([&] {
        const OperationOptions callOptions = detail::callOptions(options);
        auto handle = operationOut != nullptr ? std::make_unique<orvalis_operation>() : nullptr;
        client->tracker->started();
        std::optional<Operation> operation;
        try {
            operation.emplace(start(client->client, build(*request), callOptions));
            deliver(*operation, Completion{completion, userData, client->tracker});
        } catch (...) {
            if (operation) operation->cancel();  // it would complete with nobody told
            client->tracker->finished();
            throw;
        }
        if (handle) {
            handle->operation = std::move(operation);
            *operationOut = handle.release();
        }
        return ORVALIS_OK;
    });
}

orvalis_status newKeySource(orvalis_key_source** out, bool given, auto make) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr || !given) return invalid("no key location, or no place for the key source");
    return guarded([&] {
        *out = new orvalis_key_source{make()};
        return ORVALIS_OK;
    });
}

orvalis_status configure(orvalis_client_config* config, auto change) {
    if (config == nullptr) return invalid("no configuration");
    return guarded([&] {
        change(config->configuration);
        return ORVALIS_OK;
    });
}

}  // namespace

extern "C" {

const char* orvalis_version(void) { return ORVALIS_VERSION_STRING; }

const char* orvalis_status_text(orvalis_status status) {
    switch (status) {
        case ORVALIS_OK:
            return "ok";
        case ORVALIS_ERROR_INVALID_ARGUMENT:
            return "invalid argument";
        case ORVALIS_ERROR_TIMEOUT:
            return "time-out";
        case ORVALIS_ERROR_MALFORMED_INPUT:
            return "malformed input";
        case ORVALIS_ERROR_KEY:
            return "unusable key";
        case ORVALIS_ERROR_WRONG_THREAD:
            return "wrong thread";
        case ORVALIS_ERROR_NO_MEMORY:
            return "out of memory";
        case ORVALIS_ERROR_INTERNAL:
            return "internal error";
    }
    return "unknown status";
}

void orvalis_free(void* memory) { std::free(memory); }

char* orvalis_last_error(void) {
    return guardedText([] { return t_lastError ? copyForCaller(*t_lastError) : nullptr; });
}

orvalis_status orvalis_set_resource_path(const char* directory) {
    if (directory == nullptr) return invalid("no directory");
    return guarded([&] {
        Bundle::mainBundle().setResourcePath(directory);
        return ORVALIS_OK;
    });
}

orvalis_status orvalis_add_trusted_certificates(const char* pem_path) {
    if (pem_path == nullptr) return invalid("no PEM file");
    return guarded([&] {
        return URLSession::sharedSession().configuration().addTrustedCertificates(pem_path)
                   ? ORVALIS_OK
                   : invalid(std::string("no readable certificate in ") + pem_path);
    });
}

orvalis_status orvalis_pin_public_keys(const char* host, const char* pins) {
    if (host == nullptr || pins == nullptr) return invalid("no host or no pins");
    return guarded([&] {
        return URLSession::sharedSession().configuration().pinPublicKeys(host, pins)
                   ? ORVALIS_OK
                   : invalid("pins are \"sha256//<base64 of 32 bytes>\" entries joined by \";\"");
    });
}

void orvalis_set_log_handler(orvalis_log_handler handler, void* user_data) {
    guarded([&] {
        if (handler == nullptr) {
            setLogHandler(LogHandler());
        } else {
            setLogHandler([handler, user_data](std::string_view line) {
                const std::string text(line);  // NUL-terminated for the C side
                handler(text.c_str(), text.size(), user_data);
            });
        }
        return ORVALIS_OK;
    });
}

void orvalis_reset_log_handler(void) {
    guarded([] {
        resetLogHandler();
        return ORVALIS_OK;
    });
}

// Key sources.

orvalis_status orvalis_key_source_resource(const char* name, orvalis_key_source** source_out) {
    return newKeySource(source_out, name != nullptr, [&] { return KeySource::resource(name); });
}

orvalis_status orvalis_key_source_file(const char* path, orvalis_key_source** source_out) {
    return newKeySource(source_out, path != nullptr, [&] { return KeySource::file(path); });
}

orvalis_status orvalis_key_source_memory(const void* bytes, size_t length, orvalis_key_source** source_out) {
    return newKeySource(source_out, bytes != nullptr || length == 0, [&] {
        return KeySource::memory(std::string_view(static_cast<const char*>(bytes), bytes ? length : 0));
    });
}

void orvalis_key_source_free(orvalis_key_source* source) { delete source; }

// Client configuration.

orvalis_status orvalis_client_config_new(orvalis_client_config** config_out) {
    if (config_out == nullptr) return invalid("no place for the configuration");
    *config_out = nullptr;
    return guarded([&] {
        *config_out = new orvalis_client_config();
        return ORVALIS_OK;
    });
}

void orvalis_client_config_free(orvalis_client_config* config) { delete config; }

orvalis_status orvalis_client_config_set_host(orvalis_client_config* config, const char* host) {
    return configure(config, [&](ClientConfiguration& c) { c.host = optionalText(host); });
}

orvalis_status orvalis_client_config_set_consumer_key(orvalis_client_config* config, const char* consumer_key) {
    return configure(config, [&](ClientConfiguration& c) { c.consumerKey = optionalText(consumer_key); });
}

orvalis_status orvalis_client_config_set_key_source(orvalis_client_config* config, const orvalis_key_source* source) {
    return configure(config, [&](ClientConfiguration& c) {
        c.keySource = source ? std::optional<KeySource>(source->source) : std::nullopt;
    });
}

orvalis_status orvalis_client_config_set_key_password(orvalis_client_config* config, const char* password) {
    return configure(config, [&](ClientConfiguration& c) {
        detail::secureWipe(c.keyFilePassword);
        c.keyFilePassword = optionalText(password);
    });
}

orvalis_status orvalis_client_config_set_require_signature(orvalis_client_config* config, int require) {
    return configure(config, [&](ClientConfiguration& c) { c.requireSignature = require != 0; });
}

orvalis_status orvalis_client_config_set_idle_timeout_ms(orvalis_client_config* config, int64_t milliseconds) {
    if (milliseconds <= 0) return invalid("the idle time-out must be above zero");
    return configure(config, [&](ClientConfiguration& c) { c.idleTimeout = std::chrono::milliseconds(milliseconds); });
}

orvalis_status orvalis_client_config_set_overall_timeout_ms(orvalis_client_config* config, int64_t milliseconds) {
    if (milliseconds < 0) return invalid("the overall time-out must not be negative");
    return configure(config, [&](ClientConfiguration& c) {
        c.overallTimeout = milliseconds == 0 ? std::nullopt : std::optional<std::chrono::milliseconds>(milliseconds);
    });
}

// Client.

orvalis_status orvalis_client_new(const orvalis_client_config* config, orvalis_client** client_out) {
    if (client_out != nullptr) *client_out = nullptr;
    if (config == nullptr || client_out == nullptr) return invalid("no configuration or no place for the client");
    return guarded([&] {
        *client_out = new orvalis_client(config->configuration);
        return ORVALIS_OK;
    });
}

void orvalis_client_free(orvalis_client* client) { delete client; }

size_t orvalis_client_in_flight(const orvalis_client* client) {
    if (client == nullptr) return 0;
    std::lock_guard lock(client->tracker->mutex);
    return client->tracker->running;
}

orvalis_status orvalis_client_wait_idle(const orvalis_client* client, int64_t timeout_ms) {
    if (client == nullptr) return invalid("no client");
    if (t_inCompletion) return failWith(ORVALIS_ERROR_WRONG_THREAD, "a completion callback cannot wait");
    return guarded([&] {
        Tracker& tracker = *client->tracker;
        std::unique_lock lock(tracker.mutex);
        auto none = [&] { return tracker.running == 0; };
        if (timeout_ms < 0) {
            tracker.idle.wait(lock, none);
            return ORVALIS_OK;
        }
        return waitStatus(detail::waitAtMost(tracker.idle, lock, std::chrono::milliseconds(timeout_ms), none));
    });
}

orvalis_status orvalis_client_cancel_all(const orvalis_client* client) {
    if (client == nullptr) return invalid("no client");
    return guarded([&] {
        client->client.cancelAll();
        return ORVALIS_OK;
    });
}

// Results.

int orvalis_result_succeeded(const orvalis_result* result) { return result && result->outcome.succeeded() ? 1 : 0; }

int orvalis_result_http_status(const orvalis_result* result) {
    return result ? static_cast<int>(result->outcome.statusCode()) : 0;
}

orvalis_reached orvalis_result_reached(const orvalis_result* result) {
    return result ? static_cast<orvalis_reached>(result->outcome.reached) : ORVALIS_REACHED_NO;
}

char* orvalis_result_answer_json(const orvalis_result* result) {
    if (result == nullptr || !result->outcome.answer) return nullptr;
    return guardedText(
        [&] { return copyForCaller(JSONSerialization::dataWithJSONObject(Value(*result->outcome.answer), false)); });
}

char* orvalis_result_error_domain(const orvalis_result* result) {
    if (result == nullptr || !result->outcome.error) return nullptr;
    return guardedText([&] { return copyForCaller(result->outcome.error->domain()); });
}

int64_t orvalis_result_error_code(const orvalis_result* result) {
    return result && result->outcome.error ? result->outcome.error->code() : 0;
}

char* orvalis_result_error_message(const orvalis_result* result) {
    if (result == nullptr || !result->outcome.error) return nullptr;
    return guardedText([&] { return copyForCaller(result->outcome.error->localizedDescription()); });
}

char* orvalis_result_server_error_json(const orvalis_result* result) {
    if (result == nullptr || !result->outcome.serverErrorEntry) return nullptr;
    return guardedText([&] {
        return copyForCaller(JSONSerialization::dataWithJSONObject(Value(*result->outcome.serverErrorEntry), false));
    });
}

orvalis_status orvalis_result_copy(const orvalis_result* result, orvalis_result** copy_out) {
    if (copy_out != nullptr) *copy_out = nullptr;
    if (result == nullptr || copy_out == nullptr) return invalid("no result or no place for the copy");
    return guarded([&] {
        *copy_out = new orvalis_result{result->outcome};
        return ORVALIS_OK;
    });
}

void orvalis_result_free(orvalis_result* result) { delete result; }

// Operations.

orvalis_status orvalis_operation_wait(const orvalis_operation* operation, int64_t timeout_ms,
                                      orvalis_result** result_out) {
    if (result_out != nullptr) *result_out = nullptr;
    if (operation == nullptr) return invalid("no operation");
    if (t_inCompletion) return failWith(ORVALIS_ERROR_WRONG_THREAD, "a completion callback cannot wait");
    return guarded([&] {
        if (timeout_ms < 0) {
            operation->operation->wait();
        } else if (operation->operation->wait_for(std::chrono::milliseconds(timeout_ms)) != std::future_status::ready) {
            return waitStatus(false);
        }
        if (result_out != nullptr) {
            *result_out = new orvalis_result{operation->operation->get()};
        }
        return ORVALIS_OK;
    });
}

int orvalis_operation_is_done(const orvalis_operation* operation) {
    return operation && operation->operation->isDone() ? 1 : 0;
}

orvalis_status orvalis_operation_cancel(const orvalis_operation* operation) {
    if (operation == nullptr) return invalid("no operation");
    return guarded([&] {
        operation->operation->cancel();
        return ORVALIS_OK;
    });
}

void orvalis_operation_free(orvalis_operation* operation) { delete operation; }

orvalis_status orvalis_client_initialize_pairing(const orvalis_client* client,
                                                 const orvalis_initialize_pairing_request* request,
                                                 const orvalis_call_options* options, orvalis_completion completion,
                                                 void* user_data, orvalis_operation** operation_out) {
    return startOperation(
        client, request, options, completion, user_data, operation_out,
        [](const orvalis_initialize_pairing_request& in) {
            ZRBInitializePairingRequest r;
            r.setCheckoutID(in.checkout_id);
            r.setUserId(in.user_id);
            return r;
        },
        [](const Client& c, auto r, const OperationOptions& o) { return c.initializePairing(std::move(r), o); });
}

orvalis_status orvalis_client_get_pairing_id(const orvalis_client* client, const orvalis_pairing_id_request* request,
                                             const orvalis_call_options* options, orvalis_completion completion,
                                             void* user_data, orvalis_operation** operation_out) {
    return startOperation(
        client, request, options, completion, user_data, operation_out,
        [](const orvalis_pairing_id_request& in) {
            ZRBPairingIDServiceRequest r;
            r.setPairingTransactionId(in.pairing_transaction_id);
            r.setUserId(in.user_id);
            return r;
        },
        [](const Client& c, auto r, const OperationOptions& o) { return c.getPairingId(std::move(r), o); });
}

orvalis_status orvalis_client_authorize_pairing(const orvalis_client* client,
                                                const orvalis_authorize_pairing_request* request,
                                                const orvalis_call_options* options, orvalis_completion completion,
                                                void* user_data, orvalis_operation** operation_out) {
    return startOperation(
        client, request, options, completion, user_data, operation_out,
        [](const orvalis_authorize_pairing_request& in) {
            ZRBAuthorisePairingRequest r;
            r.setCheckoutID(in.checkout_id);
            r.setPairingTransactionId(in.pairing_transaction_id);
            return r;
        },
        [](const Client& c, auto r, const OperationOptions& o) { return c.authorizePairing(std::move(r), o); });
}

orvalis_status orvalis_client_get_precheckout_data(const orvalis_client* client,
                                                   const orvalis_precheckout_data_request* request,
                                                   const orvalis_call_options* options, orvalis_completion completion,
                                                   void* user_data, orvalis_operation** operation_out) {
    return startOperation(
        client, request, options, completion, user_data, operation_out,
        [](const orvalis_precheckout_data_request& in) {
            ZRBPrecheckoutDataRequest r;
            r.setPairingId(in.pairing_id);
            return r;
        },
        [](const Client& c, auto r, const OperationOptions& o) {
            return c.getPrecheckoutData(std::move(r), o);
        });
}

orvalis_status orvalis_client_express_checkout(const orvalis_client* client,
                                               const orvalis_express_checkout_request* request,
                                               const orvalis_call_options* options, orvalis_completion completion,
                                               void* user_data, orvalis_operation** operation_out) {
    return startOperation(
        client, request, options, completion, user_data, operation_out,
        [](const orvalis_express_checkout_request& in) {
            ZRBExpressCheckoutDataRequest r;
            r.setCheckoutId(in.checkout_id);
            r.setPairingId(in.pairing_id);
            r.setPreCheckoutTransactionId(in.pre_checkout_transaction_id);
            r.setAmount(in.amount);
            r.setCurrency(in.currency);
            r.setCardId(in.card_id);
            r.setShippingAddressId(in.shipping_address_id);
            r.setDigitalGoods(in.digital_goods != 0);
            r.setPspId(in.psp_id);
            r.setExternalData(in.external_data);
            return r;
        },
        [](const Client& c, auto r, const OperationOptions& o) {
            return c.expressCheckout(std::move(r), o);
        });
}

orvalis_status orvalis_client_get_payment_data(const orvalis_client* client,
                                               const orvalis_payment_data_request* request,
                                               const orvalis_call_options* options, orvalis_completion completion,
                                               void* user_data, orvalis_operation** operation_out) {
    return startOperation(
        client, request, options, completion, user_data, operation_out,
        [](const orvalis_payment_data_request& in) {
            ZRBPaymentDataRequest r;
            r.setTransactionId(in.transaction_id);
            r.setCartId(in.cart_id);
            r.setCheckoutId(in.checkout_id);
            r.setPspId(in.psp_id);
            r.setExternalData(in.external_data);
            return r;
        },
        [](const Client& c, auto r, const OperationOptions& o) {
            return c.getPaymentData(std::move(r), o);
        });
}

}  // extern "C"
