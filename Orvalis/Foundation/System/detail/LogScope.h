#pragma once

// Internal to the library: not installed. How the newer faces keep their log
// lines redacted while the callback facade's lines stay as they always were:
// the handler is process-wide, so the choice is made per line, by the code
// that runs an operation's stages on this thread.
#include <string>
#include <string_view>

namespace orvalis::detail {

/// While one lives, the lines logged on its thread are redacted (true) or full
/// (false); the previous choice comes back when it goes. Outside every scope
/// lines are full.
class RedactedLogScope {
public:
    explicit RedactedLogScope(bool redacted) noexcept;
    ~RedactedLogScope();
    RedactedLogScope(const RedactedLogScope&) = delete;
    RedactedLogScope& operator=(const RedactedLogScope&) = delete;

private:
    bool previous_;
};

/// line as a redacted scope logs it: redactLogLine's masks, and a request's or
/// answer's body ("Request : ", "Response: ") replaced by its size.
std::string redactedLine(std::string_view line);

}  // namespace orvalis::detail
