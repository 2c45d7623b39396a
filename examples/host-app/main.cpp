// A small host application: runs the six merchant operations in the order a
// checkout uses them, each step taking what it needs from the previous answer.
//
//   host-app --host HOST --resources DIR --consumer-key KEY --key-file NAME
//            --password PASSWORD [--trust SERVER_CA.pem] [--quiet]
//
// DIR holds NAME.p12 (the merchant's key) and AuthorizePairing.xml (the
// authorize-pairing template). Exits 1 when any operation fails.
#include <Orvalis/ServiceInfrastructure/Orvalis.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <string_view>

using namespace orvalis;

namespace {

struct Outcome {
    std::optional<Dictionary> answer;
    std::optional<Error> error;
};

// Starts one operation and waits for its callback. The callbacks run on the
// library's delivery thread, so they only hand the outcome over.
Outcome run(const char* name, const std::function<void(SuccessCallback, FailureCallback)>& start) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    std::future<Outcome> future = promise->get_future();
    start(
        [promise](Dictionary answer) {
            promise->set_value({std::move(answer), std::nullopt});
        },
        [promise](Error error) {
            promise->set_value({std::nullopt, std::move(error)});
        });
    Outcome outcome = future.get();
    if (outcome.answer) {
        std::printf("%-28s ok      %s\n", name, outcome.answer->description().c_str());
    } else {
        std::printf("%-28s FAILED  %s\n", name, outcome.error->description().c_str());
    }
    std::fflush(stdout);
    return outcome;
}

// A text entry of an answer, or fallback when the server did not send one.
// operator[] reads the entry in place: the view lives as long as the answer.
std::string text(const Outcome& o, const char* key, const char* fallback) {
    if (!o.answer) return fallback;
    std::optional<std::string_view> v = (*o.answer)[key].stringValue();
    return v ? std::string(*v) : std::string(fallback);
}

template <class Request>
Request withCredentials(const std::string& host, const std::string& consumerKey, const std::string& keyFile,
                        const std::string& password) {
    Request r;
    r.setHost(host);
    r.setConsumerKey(consumerKey);
    r.setMerechantKeyFileName(keyFile);
    r.setMerechantKeyFilePassword(password);
    return r;
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

    ZRBOrvalis orvalis;
    // A key that cannot be used ends the operation here, saying so, instead of
    // sending an unsigned request for the server to refuse.
    orvalis.setRequireSignature(true);
    int failures = 0;
    auto count = [&failures](const Outcome& o) {
        failures += o.answer ? 0 : 1;
        return o;
    };

    auto init = withCredentials<ZRBInitializePairingRequest>(host, consumerKey, keyFile, password);
    init.setCheckoutID("checkout-1001");
    init.setUserId("user-42");
    Outcome initialized = count(run("initializePairing", [&](SuccessCallback ok, FailureCallback fail) {
        orvalis.initializePairing(init, std::move(ok), std::move(fail));
    }));
    std::string pairingTransaction = text(initialized, "pairingTransactionId", "pairing-tx");

    auto pairingID = withCredentials<ZRBPairingIDServiceRequest>(host, consumerKey, keyFile, password);
    pairingID.setPairingTransactionId(pairingTransaction);
    pairingID.setUserId("user-42");
    Outcome paired = count(run("getPairingIDService", [&](SuccessCallback ok, FailureCallback fail) {
        orvalis.getPairingIDService(pairingID, std::move(ok), std::move(fail));
    }));
    std::string pairingId = text(paired, "pairingId", "pairing-id");

    auto authorise = withCredentials<ZRBAuthorisePairingRequest>(host, consumerKey, keyFile, password);
    authorise.setCheckoutID("checkout-1001");
    authorise.setPairingTransactionId(pairingTransaction);
    count(run("authorizePairing", [&](SuccessCallback ok, FailureCallback fail) {
        orvalis.authorizePairing(authorise, std::move(ok), std::move(fail));
    }));

    auto precheckout = withCredentials<ZRBPrecheckoutDataRequest>(host, consumerKey, keyFile, password);
    precheckout.setPairingId(pairingId);
    Outcome pre = count(run("getPreCheckoutDataService", [&](SuccessCallback ok, FailureCallback fail) {
        orvalis.getPreCheckoutDataService(precheckout, std::move(ok), std::move(fail));
    }));

    auto express = withCredentials<ZRBExpressCheckoutDataRequest>(host, consumerKey, keyFile, password);
    express.setCheckoutId("checkout-1001");
    express.setPairingId(pairingId);
    express.setPreCheckoutTransactionId(text(pre, "preCheckoutTransactionId", "precheckout-tx"));
    express.setAmount(49.90);
    express.setCurrency("EUR");
    express.setCardId("card-1");
    express.setShippingAddressId("ship-1");
    express.setDigitalGoods(false);
    Outcome checkedOut = count(run("expressCheckoutDataService", [&](SuccessCallback ok, FailureCallback fail) {
        orvalis.expressCheckoutDataService(express, std::move(ok), std::move(fail));
    }));

    auto payment = withCredentials<ZRBPaymentDataRequest>(host, consumerKey, keyFile, password);
    payment.setTransactionId(text(checkedOut, "transactionId", "transaction"));
    payment.setCheckoutId("checkout-1001");
    payment.setCartId("cart-7");
    count(run("getChekcoutResourceService", [&](SuccessCallback ok, FailureCallback fail) {
        orvalis.getChekcoutResourceService(payment, std::move(ok), std::move(fail));
    }));

    std::printf("%d of 6 operations failed\n", failures);
    return failures == 0 ? 0 : 1;
}
