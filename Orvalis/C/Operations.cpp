// C clients and their operations: starting one, its completion callback on
// the delivery thread, waiting, cancelling, and reading its result.
#include <Orvalis/Foundation/System/detail/Process.h>
#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/Durations.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/RequestTarget.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/ServiceInfrastructure/Client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <coroutine>
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
using orvalis::detail::invalid;

namespace {

// Set while a completion callback runs: a wait there would wait for its own thread.
thread_local bool t_inCompletion = false;

// Counts a C client's operations from start until their callback has returned
// (the C++ client forgets an operation before a callback that had to be posted
// runs); shared with the operations, which may outlive the client.
// In a child after fork() the parent's operations are not counted: they never complete there.
struct Tracker {
    std::mutex mutex;
    std::condition_variable idle;
    std::size_t running = 0;  // read through runningLocked()
    std::int64_t pid = detail::processId();

    std::size_t& runningLocked() noexcept {
        if (pid != detail::processId()) {
            running = 0;
            pid = detail::processId();
        }
        return running;
    }
    void started() {
        std::lock_guard lock(mutex);
        ++runningLocked();
    }
    void finished() {
        std::lock_guard lock(mutex);
        if (runningLocked() > 0 && --running == 0) idle.notify_all();
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

namespace {

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
    if (!covers(request)) return invalid("no request, or its struct_size cuts a field");
    if (!detail::acceptableCallOptions(options)) {
        return invalid("the call options' struct_size cuts a field, a time-out is negative or the attempts out of range");
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

}  // namespace

extern "C" {

// Client.

orvalis_status orvalis_client_new(const orvalis_client_config* config, orvalis_client** client_out) {
    if (client_out != nullptr) *client_out = nullptr;
    if (config == nullptr || client_out == nullptr) return invalid("no configuration or no place for the client");
    return guarded([&] {
        try {
            *client_out = new orvalis_client(config->configuration);
        } catch (const JournalError& e) {
            return detail::failWith(ORVALIS_ERROR_JOURNAL, e.what());
        }
        return ORVALIS_OK;
    });
}

void orvalis_client_free(orvalis_client* client) { delete client; }

size_t orvalis_client_in_flight(const orvalis_client* client) {
    if (client == nullptr) return 0;
    std::lock_guard lock(client->tracker->mutex);
    return client->tracker->runningLocked();
}

orvalis_status orvalis_client_wait_idle(const orvalis_client* client, int64_t timeout_ms) {
    if (client == nullptr) return invalid("no client");
    if (t_inCompletion) return failWith(ORVALIS_ERROR_WRONG_THREAD, "a completion callback cannot wait");
    return guarded([&] {
        Tracker& tracker = *client->tracker;
        std::unique_lock lock(tracker.mutex);
        auto none = [&] { return tracker.runningLocked() == 0; };
        const auto limit = timeout_ms < 0 ? std::chrono::milliseconds::max() : std::chrono::milliseconds(timeout_ms);
        const auto until = detail::deadlineAfter(limit);
        if (!detail::waitAtMost(tracker.idle, lock, limit, none)) return waitStatus(false);
        lock.unlock();
        // Then the journal's outcomes of what completed.
        const auto left = until ? std::chrono::duration_cast<std::chrono::milliseconds>(*until - std::chrono::steady_clock::now())
                                : limit;
        return waitStatus(client->client.waitUntilIdle(std::max(left, std::chrono::milliseconds(1))));
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

char* orvalis_result_body(const orvalis_result* result, size_t* length_out) {
    if (length_out != nullptr) *length_out = 0;
    if (result == nullptr || !result->outcome.body) return nullptr;
    char* body = guardedText([&] { return copyForCaller(*result->outcome.body); });
    if (body != nullptr && length_out != nullptr) *length_out = result->outcome.body->size();
    return body;
}

size_t orvalis_result_header_count(const orvalis_result* result) {
    return result && result->outcome.response ? result->outcome.response->headers.size() : 0;
}

orvalis_status orvalis_result_header(const orvalis_result* result, size_t index, char** name_out, char** value_out) {
    if (name_out != nullptr) *name_out = nullptr;
    if (value_out != nullptr) *value_out = nullptr;
    if (name_out == nullptr || value_out == nullptr || index >= orvalis_result_header_count(result)) {
        return invalid("no result, no place for the field, or no field at that index");
    }
    return guarded([&] {
        const auto& [name, value] = result->outcome.response->headers[index];
        std::unique_ptr<char, decltype(&orvalis_free)> named(copyForCaller(name), &orvalis_free);
        *value_out = copyForCaller(value);
        *name_out = named.release();
        return ORVALIS_OK;
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
