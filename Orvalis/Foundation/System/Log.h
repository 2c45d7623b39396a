#pragma once

#include <functional>
#include <string_view>

#include <Orvalis/Foundation/Export.h>

namespace orvalis {

/// Receives each diagnostic line, without a trailing line feed. The lines of
/// ZRBOrvalis's operations hold full request and response bodies, headers and
/// signatures; a Client's are redacted unless its fullLogLines is set.
using LogHandler = std::function<void(std::string_view line)>;

/// Routes diagnostic lines to handler; an empty handler silences them. The
/// handler may be called from any thread, also concurrently.
ORVALIS_EXPORT void setLogHandler(LogHandler handler);
/// Restores the default handler, which writes each line to stderr.
ORVALIS_EXPORT void resetLogHandler();
/// The default handler: one line to stderr.
ORVALIS_EXPORT void stderrLogHandler(std::string_view line);
/// Passes one line to the current handler. Exceptions from the handler are swallowed.
ORVALIS_EXPORT void log(std::string_view line);
/// False when lines are silenced, so callers can skip building them.
ORVALIS_EXPORT bool logEnabled() noexcept;

}  // namespace orvalis
