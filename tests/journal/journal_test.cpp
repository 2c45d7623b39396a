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
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
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
    const mode_t umask = ::umask(022);
    Client client(c);
    ::umask(umask);
    server.peek = openJournal(c.journalPath);  // a second connection, as a restarted process would open it
    OperationResult r = client.expressCheckout(payment()).get();
    ASSERT_TRUE(r.succeeded()) << r.error->description();
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
    for (const char* suffix : {"", "-wal", "-shm"}) {  // the owner's only, whatever the umask
        struct stat file {};
        EXPECT_TRUE(::stat((path + suffix).c_str(), &file) == 0 && (file.st_mode & 0777) == 0600) << suffix;
    }
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

// Another program's database, or an empty file: refused by openJournal and by a client, left byte for byte.
TEST_F(JournalFile, AFileThatIsNotAJournalIsRefusedAndLeftAsItIs) {
    detail::Database((dir.path() / "other.db").string(), {})
        .execute("PRAGMA journal_mode=DELETE; CREATE TABLE t (x); INSERT INTO t VALUES (1)");
    std::ofstream(dir.path() / "empty.db").flush();
    for (const char* name : {"other.db", "empty.db"}) {
        const std::string file = (dir.path() / name).string(), before = *detail::readWholeFile(file);
        c.journalPath = file;
        EXPECT_THROW(openJournal(file), JournalError) << name;
        EXPECT_THROW(Client{c}, JournalError) << name;
        EXPECT_EQ(*detail::readWholeFile(file), before) << name;
    }
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
        return "cannot create: No such file or directory"; }},
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
    client.expressCheckout(payment("chk-1\n2 fake\x1b[2J\x7f\\")).get();
    const std::string id = std::to_string(client.journal()->unsettled().at(0).id);
    // An id cannot add a line to list, nor a control byte reach the terminal; export stays exact JSON.
    const std::string listed = ts::runChild({ORVALIS_JOURNAL_EXE, c.journalPath, "list"}).out,
                      shown = ts::runChild({ORVALIS_JOURNAL_EXE, c.journalPath, "show", id}).out,
                      exported = ts::runChild({ORVALIS_JOURNAL_EXE, c.journalPath, "export"}).out;
    EXPECT_NE(listed.find(" expressCheckout maybe 12.5 EUR checkoutId=chk-1\\n2\\x20fake\\x1b[2J\\x7f\\\\ "),
        std::string::npos);
    EXPECT_TRUE(listed.rfind(id + " ", 0) == 0 && listed.find('\n') == listed.size() - 1) << listed;
    EXPECT_NE(shown.find(R"("checkoutId": "chk-1\n2 fake\u001B[2J\u007F\\")"), std::string::npos) << shown;
    EXPECT_NE(exported.find("\"checkoutId\":\"chk-1\\n2 fake\\u001B[2J\x7f\\\\\""), std::string::npos) << exported;
    EXPECT_EQ(ts::runChild({ORVALIS_JOURNAL_EXE, c.journalPath, "settle", id, "paid, tx-3"}).status, 0);
    EXPECT_TRUE(client.journal()->unsettled().empty());
    EXPECT_EQ(client.journal()->entry(std::stoll(id))->settleNote, "paid, tx-3");
    EXPECT_NE(ts::runChild({ORVALIS_JOURNAL_EXE, c.journalPath, "show", id}).out.find("\"unsettled\": false"),
        std::string::npos);
}

// The syncs of write-ahead logs, counted by the default VFS wrapped, made the default of this process.
std::atomic<int> logSyncs{0};
void countLogSyncs() {
    static sqlite3_vfs counting = *sqlite3_vfs_find(nullptr);
    static sqlite3_io_methods counted{};
    static const sqlite3_io_methods* real = nullptr;
    [[maybe_unused]] static const bool registered = [] {
        counting.zName = "orvalis-counting", counting.pAppData = sqlite3_vfs_find(nullptr);
        counting.xOpen = [](sqlite3_vfs* vfs, auto name, sqlite3_file* file, int flags, int* out) {
            auto* wrapped = static_cast<sqlite3_vfs*>(vfs->pAppData);
            const int rc = wrapped->xOpen(wrapped, name, file, flags, out);
            if (rc != SQLITE_OK || !(flags & SQLITE_OPEN_WAL) || file->pMethods == nullptr) return rc;
            if (real == nullptr) real = file->pMethods, counted = *real;
            counted.xSync = [](sqlite3_file* f, int how) { return ++logSyncs, real->xSync(f, how); };
            file->pMethods = &counted;
            return rc;
        };
        return sqlite3_vfs_register(&counting, 1) == SQLITE_OK;
    }();
}

// A commit that returned is on disk before the request's first byte: the log is synced at every commit.
TEST_F(JournalFile, EachEntryIsSyncedBeforeItsRequestIsSent) {
    countLogSyncs();
    c.journalPath = path;
    Client client(c);
    std::vector<int> syncs;  // since the request before
    server.beforeReply = [&] { syncs.push_back(logSyncs.exchange(0)); };
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(client.expressCheckout(payment()).get().succeeded());
    EXPECT_THAT(syncs, testing::ElementsAre(testing::Ge(1), testing::Ge(1), testing::Ge(1)));
}

// A journal of a newer library is refused, not written.
TEST_F(JournalFile, ANewerSchemaIsRefusedWithoutAByteChanged) {
    openJournal(path);
    detail::Database(path, {}).execute("PRAGMA user_version = 2");
    const std::optional<std::string> before = detail::readWholeFile(path);
    c.journalPath = path;
    try {
        Client client(c);
        ADD_FAILURE() << "opened";
    } catch (const JournalError& e) { EXPECT_THAT(e.what(), testing::HasSubstr("journal schema 2")); }
    EXPECT_EQ(detail::readWholeFile(path), before);
}

}  // namespace
