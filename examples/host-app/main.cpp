// A small host application: one C++20 coroutine runs the six merchant
// operations in the order a checkout uses them, each step taking what it needs
// from the previous answer; then one operation the callback way.
//
//   host-app --host HOST --resources DIR --consumer-key KEY --key-file NAME
//            --password PASSWORD [--trust SERVER_CA.pem] [--quiet]
//
// DIR holds NAME.p12 (the merchant's key) and AuthorizePairing.xml (the
// authorize-pairing template). Exits 1 when any operation fails.
#include <Orvalis/ServiceInfrastructure/Orvalis.h>

#include <coroutine>
#include <cstdio>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <string>

using namespace orvalis;

namespace {

// The coroutine's return type: starts at once and reports its exit status
// through a future. (Any coroutine library's task type does the same job.)
struct Checkout {
    struct promise_type {
        std::promise<int> status;
        Checkout get_return_object() { return {status.get_future()}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_value(int code) { status.set_value(code); }
        void unhandled_exception() { status.set_exception(std::current_exception()); }
    };
    std::future<int> status;
};

// Prints one line per operation; true when it succeeded.
bool report(const char* name, const OperationResult& result) {
    if (result.succeeded()) {
        std::printf("%-28s ok      %s\n", name, result.answer->description().c_str());
    } else {
        // The whole failure: the Error, the HTTP status and the server's own entry.
        std::printf("%-28s FAILED  %s (HTTP %ld%s%s)\n", name, result.error->description().c_str(),
                    result.statusCode(), result.serverErrorEntry ? ", server: " : "",
                    result.serverErrorEntry ? result.serverErrorEntry->description().c_str() : "");
    }
    std::fflush(stdout);
    return result.succeeded();
}

// A text entry of an answer ("" when absent).
std::string text(const OperationResult& result, const char* key) {
    auto value = (*result.answer)[key].stringValue();
    return value ? std::string(*value) : std::string();
}

// A text entry of the first object in an answer's list ("" when absent).
std::string firstOf(const OperationResult& result, const char* list, const char* key) {
    // operator[] reads in place; an absent entry reads as null.
    auto value = (*result.answer)[list][std::size_t{0}][key].stringValue();
    return value ? std::string(*value) : std::string();
}

// After each co_await the coroutine continues on the library's delivery
// thread (no executor is configured), so it never blocks.
Checkout checkout(const Client& client) {
    ZRBInitializePairingRequest init;
    init.setCheckoutID("checkout-1001");
    init.setUserId("user-42");
    OperationResult initialized = co_await client.initializePairing(init);
    if (!report("initializePairing", initialized)) co_return 1;

    ZRBPairingIDServiceRequest pairing;
    pairing.setPairingTransactionId(text(initialized, "pairingTransactionId"));
    pairing.setUserId("user-42");
    OperationResult paired = co_await client.getPairingId(pairing);
    if (!report("getPairingId", paired)) co_return 1;

    ZRBAuthorisePairingRequest authorise;
    authorise.setCheckoutID("checkout-1001");
    authorise.setPairingTransactionId(text(paired, "pairingTransactionId"));
    if (!report("authorizePairing", co_await client.authorizePairing(authorise))) co_return 1;

    ZRBPrecheckoutDataRequest precheckout;
    precheckout.setPairingId(text(paired, "pairingId"));
    OperationResult pre = co_await client.getPrecheckoutData(precheckout);
    if (!report("getPrecheckoutData", pre)) co_return 1;

    ZRBExpressCheckoutDataRequest express;
    express.setCheckoutId("checkout-1001");
    express.setPairingId(text(pre, "pairingId"));
    express.setPreCheckoutTransactionId(text(pre, "preCheckoutTransactionId"));
    express.setAmount(49.90);
    express.setCurrency("EUR");
    express.setCardId(firstOf(pre, "cards", "cardId"));
    express.setShippingAddressId(firstOf(pre, "shippingAddresses", "id"));
    express.setDigitalGoods(false);
    // A payment: after a failure that may have reached the server (result.reached is
    // not Reached::No) it may have been taken. Never send it again blindly: keep
    // result.correlationId with the order and settle it with the payment service
    // (payment data needs the transactionId of the lost answer).
    OperationResult paid = co_await client.expressCheckout(express);
    if (!report("expressCheckout", paid)) co_return 1;

    ZRBPaymentDataRequest payment;
    payment.setTransactionId(text(paid, "transactionId"));
    payment.setCheckoutId("checkout-1001");
    payment.setCartId("cart-7");
    if (!report("getPaymentData", co_await client.getPaymentData(payment))) co_return 1;
    co_return 0;
}

// The callback API: the callbacks run on the delivery thread and only hand over.
bool paymentDataByCallback(const std::string& host, const std::string& consumerKey, const std::string& keyFile,
                           const std::string& password) {
    ZRBPaymentDataRequest request;
    request.setHost(host);
    request.setConsumerKey(consumerKey);
    request.setMerechantKeyFileName(keyFile);
    request.setMerechantKeyFilePassword(password);
    request.setTransactionId("sbx-tx-0001");
    request.setCheckoutId("checkout-1001");
    request.setCartId("cart-7");
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> succeeded = done->get_future();
    ZRBOrvalis().getChekcoutResourceService(
        request, [done](const Dictionary&) { done->set_value(true); },
        [done](Error error) {
            std::printf("callback API: %s\n", error.description().c_str());
            done->set_value(false);
        });
    bool ok = succeeded.get();
    std::printf("%-28s %s\n", "callback API", ok ? "ok" : "FAILED");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host, resources, consumerKey, keyFile, password, trust;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        auto is = [&](const char* flag) { return std::strcmp(argv[i], flag) == 0 && i + 1 < argc; };
        if (is("--host"))
            host = argv[++i];
        else if (is("--resources"))
            resources = argv[++i];
        else if (is("--consumer-key"))
            consumerKey = argv[++i];
        else if (is("--key-file"))
            keyFile = argv[++i];
        else if (is("--password"))
            password = argv[++i];
        else if (is("--trust"))
            trust = argv[++i];
        else if (std::strcmp(argv[i], "--quiet") == 0)
            quiet = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (host.empty() || resources.empty() || consumerKey.empty() || keyFile.empty()) {
        std::fprintf(stderr,
                     "usage: host-app --host HOST --resources DIR --consumer-key KEY --key-file NAME "
                     "--password PASSWORD [--trust CA.pem] [--quiet]\n");
        return 2;
    }

    // The diagnostic lines hold full bodies and headers: mask secrets, or silence them.
    setLogHandler(quiet ? LogHandler() : redactingLogHandler(stderrLogHandler, {password}));
    // Where the key file and the authorize-pairing template are found.
    Bundle::mainBundle().setResourcePath(resources);
    // A test server's certificate authority, on top of the system's.
    if (!trust.empty() && !URLSession::sharedSession().configuration().addTrustedCertificates(trust)) {
        std::fprintf(stderr, "cannot read certificates from %s\n", trust.c_str());
        return 2;
    }

    // Credentials once, on the client; every operation gets them.
    ClientConfiguration configuration;
    configuration.host = host;
    configuration.consumerKey = consumerKey;
    configuration.keyFileName = keyFile;
    configuration.keyFilePassword = password;
    configuration.idleTimeout = std::chrono::seconds(30);
    Client client(configuration);

    int status = checkout(client).status.get();
    if (!paymentDataByCallback(host, consumerKey, keyFile, password)) status = 1;

    // Before leaving main: nothing may still be running when the process exits.
    client.cancelAll();
    client.waitUntilIdle(std::chrono::seconds(5));
    std::printf("%s\n", status == 0 ? "all operations succeeded" : "an operation failed");
    return status;
}
