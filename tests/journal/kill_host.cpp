// The host the kill test kills: express checkouts against the sandbox with the journal on, four in
// flight, until the journal holds TOTAL entries.
//   journal_kill_host JOURNAL HOST SANDBOX_PEM RESOURCES TOTAL
#include <Orvalis/ServiceInfrastructure/Orvalis.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace orvalis;

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    setLogHandler(LogHandler());
    Bundle::mainBundle().setResourcePath(argv[4]);
    ClientConfiguration c;
    c.host = argv[2], c.trustedCertificateFiles = {argv[3]};
    c.consumerKey = "kill-test", c.keyFileName = "merchant", c.keyFilePassword = "kill-test";
    c.journalPath = argv[1];
    Client client(c);
    std::atomic<long> left = std::stol(argv[5]) - static_cast<long>(client.journal()->entries(0, 1 << 20).size());
    std::vector<std::jthread> payers;  // joined when main returns
    for (int t = 0; t < 4; ++t) {
        payers.emplace_back([&] {
            while (left.fetch_sub(1) > 0) {
                ZRBExpressCheckoutDataRequest payment;
                payment.setCheckoutId("chk-" + std::to_string(left.load())), payment.setAmount(9.95);
                payment.setCurrency("EUR"), payment.setCardId("card-1");
                client.expressCheckout(payment).get();  // failed or not: the journal tells, which the test reads
            }
        });
    }
    for (auto& payer : payers) payer.join();
    client.waitUntilIdle(std::chrono::minutes(1));  // the last outcomes are written, not dropped at exit
    return 0;
}
