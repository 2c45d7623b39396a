#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/System/Log.h>

#include <string>
#include <string_view>
#include <vector>

namespace orvalis {

/// line with its secrets replaced by "***": every value of an OAuth parameter
/// written name="value" or "name":"value" (the Authorization header and the
/// parameter map), the text after "OAuth Signature: ", values of fields whose
/// name contains "password" (any case), each literal secret given, and every
/// run of 13 to 19 digits (card-number-like; its last four digits are kept).
ORVALIS_EXPORT std::string redactLogLine(std::string_view line, const std::vector<std::string>& secrets = {});

/// A log handler that passes each line to next with redactLogLine applied,
/// e.g. setLogHandler(redactingLogHandler()). The handler is thread-safe if
/// next is. An empty next silences.
ORVALIS_EXPORT LogHandler redactingLogHandler(LogHandler next = stderrLogHandler,
                                              std::vector<std::string> secrets = {});

}  // namespace orvalis
