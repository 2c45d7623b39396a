// The test double for hosts: a Client answered in-process builds and signs the real
// requests, and checkRequestSignature tells a genuine request from a tampered one.
#include <MerchantClient.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <WideAnswer.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

using ts::answered, ts::Recorder;

// Their log lines are redacted unless the client asks for full ones (the facade's stay full: network_manager_test).
TEST(TestDouble, AllSixOperationsAreSignedAndATamperedRequestIsRejected) {
    Recorder recorder;
    ClientConfiguration configuration = answered(recorder);
    Client client(configuration);
    std::mutex m;
    std::string lines;
    setLogHandler([&](std::string_view line) {
        std::lock_guard lock(m);
        lines.append(line) += '\n';
    });
    auto payment = ts::acceptable<ZRBExpressCheckoutDataRequest>();
    payment.setAmount(10.5);
    const auto pre = ts::acceptable<ZRBPrecheckoutDataRequest>();
    for (const Operation& op : {client.initializePairing({}), client.getPairingId({}), client.authorizePairing({}),
             client.getPrecheckoutData(pre), client.expressCheckout(payment),
             client.getPaymentData(ts::acceptable<ZRBPaymentDataRequest>())}) {
        OperationResult r = op.get();
        ASSERT_TRUE(r.succeeded()) << r.error->description();
        EXPECT_EQ(std::tuple((*r.answer)["ok"], r.attempts.size()), std::tuple(Value(true), 1u));
    }
    // A payment whose first attempt never left goes again, its second attempt logged as redacted as the first.
    Recorder retried;
    retried.reply = AnswererReply::transportFailure(URLErrorCannotConnectToHost, false);
    retried.beforeReply = [&] {
        if (retried.seen.size() == 2) retried.reply = AnswererReply::json(R"({"ok":true})");
    };
    payment.setCardId("card-4111-secret");
    EXPECT_EQ(Client(answered(retried)).expressCheckout(payment).get().attempts.size(), 2u);
    configuration.fullLogLines = true;
    EXPECT_TRUE(Client(configuration).getPrecheckoutData(pre).get().succeeded());
    setLogHandler({});  // silent, as the sandbox world left it
    // Signed on several start threads at once: the server may see them in another order than started.
    auto sent = [&](const char* path) {
        return *std::find_if(recorder.seen.begin(), recorder.seen.end(),
            [path](const URLRequest& r) { return r.URL().find(path) != std::string::npos; });
    };
    const URLRequest paidRequest = sent("/expresscheckout"), dataRequest = sent("/paymentdata");
    const std::string auth = *paidRequest.valueForHTTPHeaderField("Authorization");
    EXPECT_EQ(lines.find(auth.substr(auth.find("oauth_signature=") + 17, 20)), std::string::npos) << lines;
    for (const std::string& secret : {*paidRequest.HTTPBody(), std::string("card-4111-secret"), std::string("10.5")})
        EXPECT_EQ(lines.find(secret), std::string::npos) << lines;
    EXPECT_NE(lines.find("Response: (11 bytes, not shown)"), std::string::npos);
    EXPECT_NE(lines.find("Response: {\"ok\":true}"), std::string::npos);  // the full client's
    std::ostringstream pem;
    pem << std::ifstream(ts::sandboxWorld().dir.path() / "merchant.pem").rdbuf();
    ASSERT_EQ(recorder.seen.size(), 7u);
    for (const URLRequest& request : recorder.seen) {
        EXPECT_EQ(checkRequestSignature(request, pem.str(), {ts::kSandboxConsumerKey}), std::nullopt) << request.URL();
    }
    URLRequest paid = paidRequest;
    ASSERT_EQ(paid.HTTPMethod(), "POST");
    paid.setHTTPBody(std::string(*paid.HTTPBody()).replace(paid.HTTPBody()->find("10.5"), 4, "99.5"));
    EXPECT_EQ(checkRequestSignature(paid, pem.str()), "body hash mismatch");
    URLRequest moved(dataRequest.URL() + "&cartId=x", URLRequestReloadIgnoringLocalCacheData, 10);
    moved.setValue(*dataRequest.valueForHTTPHeaderField("Authorization"), "Authorization");
    EXPECT_EQ(checkRequestSignature(moved, pem.str()), "signature does not verify");
    EXPECT_EQ(checkRequestSignature(recorder.seen[0], pem.str(), {"another-key"}), "unknown consumer key");
}

// Signing may take longer than the overall time-out (a key source that returns only once it has passed):
// no attempt starts after it, neither the first nor a retry. Nor is a pause slept that would pass it (the server
// asks for 30 s): the operation ends at once with the last failure, and no next attempt is announced.
// The client's time-out holds for a call that sets none (a call's own, and one that ends a transfer: RetryRules).
TEST(TestDouble, NoAttemptStartsPastTheDeadlineHoweverLongSigningTakes) {
    std::ifstream file(ts::sandboxWorld().dir.path() / "merchant.p12", std::ios::binary);
    const std::string p12{std::istreambuf_iterator<char>(file), {}};
    for (int slow : {0, 1, 2}) {  // which signing is slow; none: the pause asked for is the long wait
        Recorder recorder;
        recorder.reply = AnswererReply::json("{}", 503);
        if (slow == 0) recorder.reply.headers = {{"Retry-After", "30"}};
        ClientConfiguration c = answered(recorder);
        std::atomic<int> signings{0};
        std::atomic<bool> retryAnnounced{false};
        std::atomic<std::chrono::steady_clock::time_point> started{};
        c.keyFileName.reset(), c.overallTimeout = std::chrono::milliseconds(200);
        c.observer = [&](const OperationEvent& e) {
            if (e.kind == OperationEventKind::Started) started = std::chrono::steady_clock::now();
            if (e.retryIn) retryAnnounced = true;
        };
        c.keySource = KeySource::callback([&]() -> std::optional<std::string> {
            while (signings + 1 == slow && std::chrono::steady_clock::now() < started.load() + c.overallTimeout.value())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return ++signings, p12;
        });
        ZRBPrecheckoutDataRequest pre;
        pre.setPairingId("id");
        OperationResult r = Client(c).getPrecheckoutData(pre).get();
        ASSERT_TRUE(r.error);
        const size_t sent = slow == 1 ? 0u : 1u;
        EXPECT_EQ(std::tuple(recorder.seen.size(), r.attempts.size(), r.error->code(), r.reached),
            std::tuple(sent, sent, slow == 1 ? std::int64_t{URLErrorTimedOut} : 503, sent ? Reached::Yes : Reached::No))
            << r.error->description();
        EXPECT_EQ(retryAnnounced.load(), slow == 2) << slow;
    }
}

// A large answer decodes off the delivery thread: while its decode is held (its log line blocks), a small
// operation still completes; a cancel meanwhile still wins, as the result was not yet decided.
TEST(TestDouble, SmallOperationCompletesWhileALargeAnswerDecodes) {
    Recorder largeRecorder, smallRecorder;
    largeRecorder.reply = AnswererReply::json(ts::wideAnswer(2000));  // beyond what decodes in line
    const std::string decoding = "Response: (" + std::to_string(largeRecorder.reply.body.size()) + " bytes";
    const Client largeClient(answered(largeRecorder)), smallClient(answered(smallRecorder));  // before the handler
    std::promise<void> entered, release;
    std::shared_future<void> held = release.get_future().share();
    setLogHandler([&](std::string_view line) {
        if (line.starts_with(decoding)) entered.set_value(), held.wait();
    });
    Operation large = largeClient.initializePairing({});
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    Operation small = smallClient.initializePairing({});
    const bool smallDone = small.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const bool largeDone = large.isDone(), cancelled = large.cancel();
    release.set_value();
    EXPECT_TRUE(smallDone && small.get().succeeded());
    EXPECT_TRUE(!largeDone && cancelled);
    ASSERT_TRUE(large.get().error);
    // The cancel failure keeps what the answer said: it reached the server, with its status.
    EXPECT_EQ(std::tuple(large.get().error->code(), large.get().reached, large.get().statusCode()),
        std::tuple(URLErrorCancelled, Reached::Yes, 200));
    EXPECT_FALSE(large.cancel());  // completed: nothing more happens
    setLogHandler({});
}

// More large answers than decode threads, in waves that each meet the threads idle: every one completes.
TEST(TestDouble, WavesOfLargeAnswersAllComplete) {
    Recorder recorder;
    recorder.reply = AnswererReply::json(ts::wideAnswer(2001));
    const Client client(answered(recorder));
    for (int wave = 0; wave < 4; ++wave) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the host pauses: the threads wait for work
        std::vector<Operation> ops;
        for (int i = 0; i < 5; ++i) ops.push_back(client.initializePairing({}));
        for (Operation& op : ops) {
            ASSERT_EQ(op.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "wave " << wave;
            EXPECT_EQ(op.get().answer->size(), 2001u);
        }
    }
}

}  // namespace
