// The host the kill test kills: express checkouts against the sandbox with the journal on, four in
// flight, until the journal holds TOTAL entries. With INSTANCE it names itself so in the journal and
// appends the checkout id of each payment refused before sending (-1234, nothing sent) to REFUSED.
//   journal_kill_host JOURNAL HOST SANDBOX_PEM RESOURCES TOTAL [INSTANCE REFUSED]
#include <Orvalis/ServiceInfrastructure/Orvalis.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace orvalis;

int main(int argc, char** argv) try {
    setLogHandler(LogHandler());
    if (argc != 6 && argc != 8) return 2;
    std::string instance = argc == 8 ? argv[6] : "";
    if (!instance.empty()) setJournalInstance(instance, std::chrono::milliseconds(200));
    std::FILE* refused = argc == 8 ? std::fopen(argv[7], "a") : nullptr;
    Bundle::mainBundle().setResourcePath(argv[4]);
    ClientConfiguration c;
    c.host = argv[2], c.trustedCertificateFiles = {argv[3]};
    c.consumerKey = "kill-test", c.keyFileName = "merchant", c.keyFilePassword = "kill-test";
    c.journalPath = argv[1];
    Client client(c);
    std::atomic<long> left = std::stol(argv[5]) - static_cast<long>(client.journal()->entries(0, 1 << 20).size());
    std::atomic<long> serial = 0;
    std::vector<std::jthread> payers;  // joined when main returns
    for (int t = 0; t < 4; ++t) {
        payers.emplace_back([&] {
            while (left.fetch_sub(1) > 0) {
                std::string checkoutId = "chk-" + instance + "-" + std::to_string(serial++);
                ZRBExpressCheckoutDataRequest payment;
                payment.setCheckoutId(checkoutId), payment.setAmount(9.95);
                payment.setCurrency("EUR"), payment.setCardId("card-1");
                OperationResult r = client.expressCheckout(payment).get();  // the journal tells, which the test reads
                if (refused && r.error && r.error->code() == URLErrorCannotRecordRequest && r.reached == Reached::No) {
                    std::fprintf(refused, "%s\n", checkoutId.c_str()), std::fflush(refused);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the database is down: no spinning
                }
            }
        });
    }
    for (auto& payer : payers) payer.join();
    client.waitUntilIdle(std::chrono::minutes(1));  // the last outcomes are written, not dropped at exit
    return 0;
} catch (const JournalError& e) {  // the database is down: the test starts this host again
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
}
