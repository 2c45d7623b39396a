// The test double for hosts: a Client answered in-process builds and signs the real
// requests, and checkRequestSignature tells a genuine request from a tampered one.
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <SandboxWorld.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <mutex>
#include <sstream>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

struct Recorder {
    std::mutex m;
    std::vector<URLRequest> seen;
    AnswererReply reply = AnswererReply::json(R"({"ok":true})");
    Answerer answerer() {
        return [this](const URLRequest& request) {
            std::lock_guard lock(m);
            seen.push_back(request);
            return reply;
        };
    }
};

ClientConfiguration answered(Recorder& recorder) {
    ts::sandboxWorld();  // the merchant key among the resources
    ClientConfiguration c;
    c.host = "api.example.com";  // never reached
    c.consumerKey = ts::kSandboxConsumerKey, c.keyFileName = "merchant", c.keyFilePassword = ts::kSandboxPassword;
    c.retry.initialBackoff = std::chrono::milliseconds(1);
    c.answerer = recorder.answerer();
    return c;
}

std::string merchantCertificate() {
    std::ostringstream pem;
    pem << std::ifstream(ts::sandboxWorld().dir.path() / "merchant.pem").rdbuf();
    return pem.str();
}

TEST(TestDouble, AllSixOperationsAreSignedAndATamperedRequestIsRejected) {
    Recorder recorder;
    Client client(answered(recorder));
    ZRBExpressCheckoutDataRequest payment;
    payment.setCheckoutId("chk-1");
    payment.setAmount(10.5);
    payment.setCurrency("EUR");
    ZRBPrecheckoutDataRequest pre;
    pre.setPairingId("pairing-1");
    ZRBPaymentDataRequest data;
    data.setTransactionId("tx-1");
    data.setCheckoutId("chk-1");
    for (const Operation& op : {client.initializePairing({}), client.getPairingId({}), client.authorizePairing({}),
             client.getPrecheckoutData(pre), client.expressCheckout(payment), client.getPaymentData(data)}) {
        OperationResult r = op.get();
        ASSERT_TRUE(r.succeeded()) << r.error->description();
        EXPECT_EQ((*r.answer)["ok"], Value(true));
        EXPECT_EQ(r.attempts.size(), 1u);
    }
    const std::string pem = merchantCertificate();
    ASSERT_EQ(recorder.seen.size(), 6u);
    for (const URLRequest& request : recorder.seen) {
        EXPECT_EQ(checkRequestSignature(request, pem, {ts::kSandboxConsumerKey}), std::nullopt) << request.URL();
    }
    URLRequest paid = recorder.seen[4];
    ASSERT_EQ(paid.HTTPMethod(), "POST");
    paid.setHTTPBody(std::string(*paid.HTTPBody()).replace(paid.HTTPBody()->find("10.5"), 4, "99.5"));
    EXPECT_EQ(checkRequestSignature(paid, pem), "body hash mismatch");
    URLRequest moved(recorder.seen[5].URL() + "&cartId=x", URLRequestReloadIgnoringLocalCacheData, 10);
    moved.setValue(*recorder.seen[5].valueForHTTPHeaderField("Authorization"), "Authorization");
    EXPECT_EQ(checkRequestSignature(moved, pem), "signature does not verify");
    EXPECT_EQ(checkRequestSignature(recorder.seen[0], pem, {"another-key"}), "unknown consumer key");
}

// A failure the answerer plays goes through the same rules as one of the network.
TEST(TestDouble, PlayedFailuresFollowTheRetryRules) {
    Recorder recorder;
    recorder.reply = AnswererReply::transportFailure(URLErrorNetworkConnectionLost, true);
    Client client(answered(recorder));
    OperationResult read = client.initializePairing({}).get(), paid = client.expressCheckout({}).get();
    EXPECT_TRUE(read.error && read.attempts.size() == 3 && read.reached == Reached::Maybe);
    EXPECT_TRUE(paid.error && paid.attempts.size() == 1 && paid.reached == Reached::Maybe);
    EXPECT_NE(read.attempts[0].correlationId, read.attempts[1].correlationId);
}

// A pause that would pass the overall deadline (the server asks for 30 s, 2 s are left) is not slept:
// the operation ends at once with the last failure, and no next attempt is announced.
TEST(TestDouble, APauseBeyondTheDeadlineIsNotSlept) {
    Recorder recorder;
    recorder.reply = AnswererReply::json(R"({"busy":true})", 503);
    recorder.reply.headers = {{"Retry-After", "30"}};
    ClientConfiguration c = answered(recorder);
    std::promise<bool> paused;
    c.observer = [&](const OperationEvent& e) {
        if (e.kind == OperationEventKind::AttemptEnded) paused.set_value(e.retryIn.has_value());
    };
    Operation op = Client(c).initializePairing({}, {std::nullopt, std::chrono::seconds(2), 3});
    if (paused.get_future().get()) {
        ADD_FAILURE() << "a pause past the deadline was announced";
        op.cancel();  // rather than wait it out
    }
    OperationResult r = op.get();
    ASSERT_TRUE(r.response);
    EXPECT_EQ(r.response->statusCode, 503);
    EXPECT_EQ(r.attempts.size(), 1u);
}

}  // namespace
