#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalSteps.h>

#include <cctype>
#include <cmath>
#include <exception>
#include <string_view>

namespace orvalis::detail {

namespace {

// The ids worth keeping: those a host reconciles a payment with. Never a card
// id, an address id or a user id (the file is kept beside logs).
constexpr std::string_view kIdNames[] = {
    "checkoutId", "pairingId", "pairingTransactionId", "preCheckoutTransactionId", "transactionId", "cartId"};

void keep(std::map<std::string, std::string>& ids, const char* name, const std::optional<std::string>& value) {
    if (value) ids[name] = *value;
}

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) text += {kDigits[b >> 4], kDigits[b & 15]};
    return text;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The ids an answer names, at any of its first levels (an XML answer's are one
// level down, under its root), whatever the case of their names.
void collectIds(const Dictionary& answer, std::map<std::string, std::string>& ids, int depth) {
    for (const DictionaryEntry& e : answer) {
        for (std::string_view name : kIdNames) {
            if (!sameName(e.key(), name) || ids.count(std::string(name))) continue;
            if (std::optional<std::string_view> text = e.value().stringValue()) ids.emplace(name, *text);
            if (std::optional<std::int64_t> n = e.value().integerValue()) ids.emplace(name, std::to_string(*n));
        }
        if (depth > 0 && e.value().isDictionary()) collectIds(e.value().asDictionary(), ids, depth - 1);
    }
}

}  // namespace

std::optional<JournalFacts> journalFacts(const ClientConfiguration& configuration,
                                         const std::shared_ptr<JournalWriter>& writer, std::string_view name,
                                         const ZRBBaseServiceRequest& request) {
    if (!configuration.journal || !writer) return std::nullopt;
    const bool payment = name == "authorizePairing" || name == "expressCheckout";
    if (!payment && configuration.journalScope != JournalScope::AllOperations) return std::nullopt;
    JournalFacts facts;
    facts.writer = writer;
    auto& ids = facts.requestIds;
    if (auto* r = dynamic_cast<const ZRBExpressCheckoutDataRequest*>(&request)) {
        keep(ids, "checkoutId", r->checkoutId());
        keep(ids, "pairingId", r->pairingId());
        keep(ids, "preCheckoutTransactionId", r->preCheckoutTransactionId());
        if (std::isfinite(r->amount())) facts.amount = r->amount();
        facts.currency = r->currency();
    } else if (auto* r = dynamic_cast<const ZRBAuthorisePairingRequest*>(&request)) {
        keep(ids, "checkoutId", r->checkoutID());
        keep(ids, "pairingTransactionId", r->pairingTransactionId());
    } else if (auto* r = dynamic_cast<const ZRBInitializePairingRequest*>(&request)) {
        keep(ids, "checkoutId", r->checkoutID());
    } else if (auto* r = dynamic_cast<const ZRBPairingIDServiceRequest*>(&request)) {
        keep(ids, "pairingTransactionId", r->pairingTransactionId());
    } else if (auto* r = dynamic_cast<const ZRBPrecheckoutDataRequest*>(&request)) {
        keep(ids, "pairingId", r->pairingId());
    } else if (auto* r = dynamic_cast<const ZRBPaymentDataRequest*>(&request)) {
        keep(ids, "transactionId", r->transactionId());
        keep(ids, "checkoutId", r->checkoutId());
        keep(ids, "cartId", r->cartId());
    }
    return facts;
}

JournalEntry journalEntry(const JournalFacts& facts, std::string_view name, const std::string& correlationId,
                          const URLRequest& request) {
    JournalEntry entry;
    entry.operation = name;
    entry.correlationId = correlationId;
    entry.requestIds = facts.requestIds;
    entry.amount = facts.amount;
    entry.currency = facts.currency;
    if (const std::optional<std::string>& body = request.HTTPBody()) {
        entry.bodyDigest = hex(digest(DigestAlgorithm::SHA256, *body).value_or(""));
    }
    entry.recordedAt = std::chrono::system_clock::now();
    return entry;
}

Error cannotRecord(const std::string& why) {
    return Error::withDescription(URLErrorDomain, URLErrorCannotRecordRequest,
                                  "The request was not sent: the journal could not record it (" + why + ").");
}

void recordOutcome(JournalFacts& facts, Reached reached, long statusCode, const std::optional<Error>& error,
                   const std::optional<Dictionary>& answer) noexcept {
    if (facts.entry == 0) return;
    try {
        JournalOutcome outcome;
        outcome.reached = reached;
        outcome.statusCode = statusCode;
        if (error) {
            outcome.errorDomain = error->domain();
            outcome.errorCode = error->code();
        }
        if (answer) collectIds(*answer, outcome.answerIds, 2);
        facts.writer->recordOutcome(facts.entry, std::move(outcome));
    } catch (const std::exception& e) {
        log(std::string("Client: the journal could not record an outcome, its entry stays unsettled: ") + e.what());
    } catch (...) {
        log("Client: the journal could not record an outcome, its entry stays unsettled");
    }
    facts.entry = 0;
}

}  // namespace orvalis::detail
