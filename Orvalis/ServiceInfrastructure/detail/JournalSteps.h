#pragma once

// Internal to the operation handles: not installed. The journal's two steps in
// an operation's pipeline: an entry made durable before an attempt's first
// byte is sent, and the attempt's outcome once its exchange has ended.
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Transport/URLRequest.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalWriter.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace orvalis::detail {

/// What every entry of one operation carries from its request, fixed when it starts.
struct JournalFacts {
    std::shared_ptr<JournalWriter> writer;  // the journal's own thread, which writes every entry and outcome
    std::map<std::string, std::string> requestIds;
    std::optional<double> amount;
    std::optional<std::string> currency;
    std::int64_t entry = 0;  // the attempt in flight's entry, 0 while none is recorded
};

/// The facts of the operation name for request, when configuration keeps a journal
/// of that operation (see JournalScope), written by writer; no value otherwise.
std::optional<JournalFacts> journalFacts(const ClientConfiguration& configuration,
                                         const std::shared_ptr<JournalWriter>& writer, std::string_view name,
                                         const ZRBBaseServiceRequest& request);

/// The entry of the attempt about to send request (whose nonce is correlationId).
JournalEntry journalEntry(const JournalFacts& facts, std::string_view name, const std::string& correlationId,
                          const URLRequest& request);

/// The URLErrorCannotRecordRequest refusal of an attempt the journal could not record, and why.
Error cannotRecord(const std::string& why);

/// Queues how the attempt of facts' last entry ended, with the ids the answer named,
/// to the journal's writer. A journal that fails to write it logs it; the entry then stays unsettled.
void recordOutcome(JournalFacts& facts, Reached reached, long statusCode, const std::optional<Error>& error,
                   const std::optional<Dictionary>& answer) noexcept;

}  // namespace orvalis::detail
