#pragma once

#include <Orvalis/Foundation/System/Log.h>

#include <ostream>
#include <string_view>

namespace orvalis::tools {

/// Routes the library's diagnostic lines to err while it lives (only when
/// verbose: they repeat what the tool prints itself), and restores the
/// default handler when it goes.
class LogRoute {
public:
    LogRoute(bool verbose, std::ostream& err) {
        if (verbose) {
            setLogHandler([&err](std::string_view line) { err << line << '\n'; });
        } else {
            setLogHandler(nullptr);
        }
    }
    ~LogRoute() { resetLogHandler(); }
    LogRoute(const LogRoute&) = delete;
    LogRoute& operator=(const LogRoute&) = delete;
};

}  // namespace orvalis::tools
