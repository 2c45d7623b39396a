// The journal on the C++ face: an entry is durable before an attempt is sent, its outcome after; a
// journal that cannot be written refuses the payment with nothing sent; many threads, clients and a
// second process share one file.
#include <MerchantClient.h>
#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/Storage/detail/SQLiteDatabase.h>
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <TestServer.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

// Plays the server; before answering, reads the journal as a crash at that moment would leave it.
struct Server : ts::Recorder {
    std::vector<std::optional<JournalEntry>> seenInJournal;
    std::shared_ptr<Journal> peek;
    Server() {
        reply = AnswererReply::json(R"({"transactionId":"tx-9","status":"SUCCESS","card":{"cardId":"c"}})");
        beforeReply = [this] {
            if (!peek) return;
            std::vector<JournalEntry> open = peek->unsettled();
            seenInJournal.push_back(open.empty() ? std::nullopt : std::optional(open.back()));
        };
    }
};

// A client's configuration answered by server, with a folder for its journal.
struct JournalFile : ::testing::Test {
    ts::TempDir dir;
    Server server;
    ClientConfiguration c = ts::answered(server);
    const std::string path = (dir.path() / "j.db").string();
};

ZRBExpressCheckoutDataRequest payment(const std::string& checkout = "chk-1") {
    ZRBExpressCheckoutDataRequest p;
    p.setCheckoutId(checkout);
    p.setPairingId("pair-1");
    p.setPreCheckoutTransactionId("pre-1");
    p.setCardId("card-secret-4111");
    p.setAmount(12.5);
    p.setCurrency("EUR");
    return p;
}

TEST_F(JournalFile, AnEntryIsDurableBeforeSendingAndItsOutcomeAfter) {
    c.journalPath = path;
    Client client(c);
    server.peek = openJournal(c.journalPath);  // a second connection, as a restarted process would open it
    OperationResult r = client.expressCheckout(payment()).get();
    ASSERT_TRUE(r.succeeded()) << r.error->description();
    ASSERT_TRUE(client.waitUntilIdle(std::chrono::seconds(30)));  // the outcome is written after completion
    ASSERT_EQ(server.seenInJournal.size(), 1u);
    ASSERT_TRUE(server.seenInJournal[0]);
    EXPECT_EQ(server.seenInJournal[0]->correlationId, server.nonce(0));
    EXPECT_FALSE(server.seenInJournal[0]->reached);

    const JournalEntry e = *client.journal()->entry(server.seenInJournal[0]->id);
    EXPECT_EQ(e.operation, "expressCheckout");
    EXPECT_EQ(e.requestIds, (std::map<std::string, std::string>{{"checkoutId", "chk-1"}, {"pairingId", "pair-1"},
                                {"preCheckoutTransactionId", "pre-1"}}));
    EXPECT_TRUE(e.amount == 12.5 && e.currency == "EUR" && e.bodyDigest.size() == 64u);
    EXPECT_TRUE(e.reached == Reached::Yes && e.statusCode == 200);
    EXPECT_EQ(e.answerIds, (std::map<std::string, std::string>{{"transactionId", "tx-9"}}));
    EXPECT_TRUE(client.journal()->unsettled().empty());
    // Nothing a thief could use: no card id, no password, no body, in the file or its log.
    const std::string kept = *detail::readWholeFile(c.journalPath) + *detail::readWholeFile(c.journalPath + "-wal");
    for (const char* secret : {"card-secret-4111", ts::kSandboxPassword, "\"amount\""})
        EXPECT_EQ(kept.find(secret), std::string::npos) << secret;
}

// What a host reconciles: attempts with no answer, oldest first, until it settles them.
TEST_F(JournalFile, UnsettledListsMaybeReachedOldestFirstUntilSettled) {
    c.journal = openJournal(path);
    c.journalScope = JournalScope::AllOperations;
    Client client(c);
    server.reply = AnswererReply::transportFailure(URLErrorNetworkConnectionLost, true);
    client.expressCheckout(payment("a")).get();
    client.authorizePairing({}).get();
    server.reply = AnswererReply::transportFailure(URLErrorCannotConnectToHost, false);
    client.expressCheckout(payment("never-sent")).get();
    ASSERT_TRUE(client.waitUntilIdle(std::chrono::seconds(30)));
    std::vector<JournalEntry> open = c.journal->unsettled();
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].requestIds["checkoutId"], "a");
    EXPECT_EQ(open[0].reached, Reached::Maybe);
    EXPECT_EQ(open[0].errorCode, URLErrorNetworkConnectionLost);
    EXPECT_EQ(open[1].operation, "authorizePairing");
    EXPECT_TRUE(c.journal->settle(open[0].id, "found as tx-7"));
    EXPECT_FALSE(c.journal->settle(999, "no such entry"));
    EXPECT_EQ(c.journal->unsettled().size(), 1u);
    EXPECT_EQ(c.journal->entry(open[0].id)->settleNote, "found as tx-7");
    EXPECT_EQ(c.journal->entries(0, 100).back().reached, Reached::No);
}

TEST_F(JournalFile, OnlyPaymentsAreRecordedUnlessTheHostAsksForAll) {
    for (JournalScope scope : {JournalScope::Payments, JournalScope::AllOperations}) {
        c.journal = openJournal(path + (scope == JournalScope::Payments ? ".payments" : ".all"));
        c.journalScope = scope;
        Client client(c);
        ZRBPaymentDataRequest data;
        data.setTransactionId("tx-1"), data.setCheckoutId("chk-1"), data.setCartId("cart-1");
        client.initializePairing({}).get(), client.getPaymentData(data).get(), client.authorizePairing({}).get();
        std::vector<JournalEntry> all = c.journal->entries(0, 10);
        ASSERT_EQ(all.size(), scope == JournalScope::Payments ? 1u : 3u);
        EXPECT_EQ(all.back().operation, "authorizePairing");
        if (scope == JournalScope::AllOperations) { EXPECT_EQ(all[1].requestIds.at("transactionId"), "tx-1"); }
    }
}

struct Refusal {
    const char* name;
    // Makes the client's journal unwritable; returns the text the refusal must hold.
    std::function<std::string(const std::filesystem::path& dir, ClientConfiguration& c)> spoil;
};

void PrintTo(const Refusal& refusal, std::ostream* os) { *os << refusal.name; }

class JournalRefuses : public JournalFile, public ::testing::WithParamInterface<Refusal> {};

// A payment the journal cannot record is not made: a clear error, and nothing reaches the server.
TEST_P(JournalRefuses, ThePaymentWithNothingSent) {
    const std::string expected = GetParam().spoil(dir.path(), c);
    try {
        Client client(c);
        OperationResult r;
        for (int i = 0; i < 2000 && !r.error; ++i) r = client.expressCheckout(payment()).get();
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.error->code(), URLErrorCannotRecordRequest);
        EXPECT_NE(r.error->description().find(expected), std::string::npos) << r.error->description();
        EXPECT_TRUE(r.attempts.empty() && r.reached == Reached::No);
        if (c.journal) { EXPECT_EQ(server.seen.size(), c.journal->entries(0, 5000).size()); }
    } catch (const JournalError& e) {
        EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        EXPECT_TRUE(server.seen.empty());
    }
}

struct ThrowingJournal : Journal {
    std::int64_t recordAttempt(const JournalEntry&) override { throw std::runtime_error("host store offline"); }
    void recordOutcome(std::int64_t, const JournalOutcome&) override {}
    std::vector<JournalEntry> unsettled() override { return {}; }
    std::optional<JournalEntry> entry(std::int64_t) override { return std::nullopt; }
    std::vector<JournalEntry> entries(std::int64_t, std::size_t) override { return {}; }
    bool settle(std::int64_t, const std::string&) override { return false; }
};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Journal, JournalRefuses, ::testing::Values(
    Refusal{"UnwritablePath", [](auto& dir, auto& c) {
        c.journalPath = (dir / "absent" / "j.db").string();
        return "unable to open database file"; }},
    Refusal{"DamagedFile", [](auto& dir, auto& c) {
        std::ofstream(dir / "j.db") << "these are not the pages of a database, but plain text written over them";
        c.journalPath = (dir / "j.db").string();
        return "file is not a database"; }},
    Refusal{"FullDisk", [](auto& dir, auto& c) {
        c.journal = openJournal((dir / "j.db").string(), JournalOptions{std::chrono::seconds(5), 24 * 1024});
        return "database or disk is full"; }},
    Refusal{"LockedByAnotherWriter", [](auto& dir, auto& c) {
        c.journal = openJournal((dir / "j.db").string(), JournalOptions{std::chrono::milliseconds(20), {}});
        static std::optional<detail::Database> other;  // holds the lock until the next row
        other.emplace((dir / "j.db").string(), detail::DatabaseOptions{});
        other->execute("BEGIN EXCLUSIVE");
        return "database is locked"; }},
    Refusal{"HostJournalThrows", [](auto&, auto& c) {
        c.journal = std::make_shared<ThrowingJournal>();
        return "host store offline"; }}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Another process holding the journal's write lock delays only that journal's payments, each refused its
// busyTimeout after its own start: no start call waits for it, no completion waits for an outcome's write,
// and a client without a journal goes on as usual.
TEST_F(JournalFile, ALockedJournalDelaysOnlyItsOwnPaymentsEachUntilItsOwnDeadline) {
    using namespace std::chrono;
    using Clock = steady_clock;
    const auto busy = milliseconds(1000), quick = milliseconds(600);
    c.journal = openJournal(path, JournalOptions{busy, {}});
    Client paying(c);
    ts::Recorder readServer;
    Client reading(ts::answered(readServer));
    // The first payment's entry is written; then, while it is at the server, the other process takes the lock.
    FILE* holder = nullptr;
    Clock::time_point locked;
    server.beforeReply = [&] {
        const std::string command =
            "python3 -c 'import sqlite3, sys, time; c = sqlite3.connect(sys.argv[1], "
            "isolation_level=None); c.execute(\"BEGIN EXCLUSIVE\"); print(\"locked\", "
            "flush=True); time.sleep(2.5)' " +
            path;
        holder = popen(command.c_str(), "r");
        char line[16] = {};
        ASSERT_TRUE(holder && std::fgets(line, sizeof line, holder)) << "no lock";
        locked = Clock::now();
    };
    OperationResult first = paying.expressCheckout(payment("first")).get();
    server.beforeReply = nullptr;
    EXPECT_TRUE(first.succeeded());
    EXPECT_LT(Clock::now() - locked, quick) << "the completion waited for its outcome's write";

    std::vector<std::pair<Clock::time_point, Operation>> payments;
    auto pay = [&] {
        for (int i = 0; i < 3; ++i) {
            const auto start = Clock::now();
            payments.emplace_back(start, paying.expressCheckout(payment("locked-out")));
            EXPECT_LT(Clock::now() - start, milliseconds(200)) << "the start call waited for the journal";
        }
    };
    auto read = [&] {
        for (int i = 0; i < 25; ++i) {
            const auto start = Clock::now();
            ZRBPairingIDServiceRequest r;
            r.setPairingTransactionId("p-1");
            EXPECT_TRUE(reading.getPairingId(r).get().succeeded());
            EXPECT_LT(Clock::now() - start, quick) << "a read of a client without a journal was held up";
        }
    };
    pay(), read();
    // A payment cancelled while its entry waits for the journal ends at once, with nothing sent nor written.
    Operation cancelled = paying.expressCheckout(payment("cancelled"));
    const auto cancelledAt = Clock::now();
    EXPECT_TRUE(cancelled.cancel());
    EXPECT_EQ(cancelled.get().error->code(), URLErrorCancelled);
    EXPECT_LT(Clock::now() - cancelledAt, quick) << "the cancel waited for the journal";
    pay(), read();
    for (auto& [start, op] : payments) {
        OperationResult r = op.get();
        const auto after = Clock::now() - start;
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.error->code(), URLErrorCannotRecordRequest) << r.error->description();
        EXPECT_NE(r.error->description().find("database is locked"), std::string::npos) << r.error->description();
        EXPECT_TRUE(after >= busy && after < busy + milliseconds(700)) << duration_cast<milliseconds>(after).count();
    }
    EXPECT_EQ(server.seen.size(), 1u);  // none of the refused was sent
    if (holder) pclose(holder);
    // The first payment's outcome, kept while the journal was locked, is written once it is free.
    ASSERT_TRUE(paying.waitUntilIdle(seconds(30)));
    const std::vector<JournalEntry> all = c.journal->entries(0, 10);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].reached, Reached::Yes);
}

// One journal for many threads, another client on the same file: every attempt once, none lost.
TEST_F(JournalFile, ManyThreadsAndClientsShareOneFile) {
    c.journalPath = path;
    Client first(c), second(c);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) (t % 2 ? first : second).expressCheckout(payment()).wait();
        });
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(first.waitUntilIdle(std::chrono::seconds(30)) && second.waitUntilIdle(std::chrono::seconds(30)));
    std::vector<JournalEntry> all = first.journal()->entries(0, 1000);
    std::set<std::string> journaled, sent;
    for (std::size_t i = 0; i < server.seen.size(); ++i) sent.insert(server.nonce(i));
    for (const JournalEntry& e : all) {
        journaled.insert(e.correlationId);
        EXPECT_EQ(e.reached, Reached::Yes);
    }
    EXPECT_EQ(all.size(), 160u);
    EXPECT_EQ(journaled, sent);
}

// A second process (the operator's command) reads and settles while this one holds the file open.
TEST_F(JournalFile, ASecondProcessReadsAndSettlesTheSameFile) {
    server.reply = AnswererReply::transportFailure(URLErrorTimedOut, true);
    c.journalPath = path;
    Client client(c);
    client.expressCheckout(payment()).get();
    ASSERT_TRUE(client.waitUntilIdle(std::chrono::seconds(30)));
    const std::string id = std::to_string(client.journal()->unsettled().at(0).id);
    ts::Ended listed = ts::runChild({ORVALIS_JOURNAL_EXE, c.journalPath, "list"});
    EXPECT_NE(listed.out.find(id + " "), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(" expressCheckout maybe 12.5 EUR checkoutId=chk-1 "), std::string::npos) << listed.out;
    EXPECT_EQ(ts::runChild({ORVALIS_JOURNAL_EXE, c.journalPath, "settle", id, "paid, tx-3"}).status, 0);
    EXPECT_TRUE(client.journal()->unsettled().empty());
    EXPECT_EQ(client.journal()->entry(std::stoll(id))->settleNote, "paid, tx-3");
}

}  // namespace
