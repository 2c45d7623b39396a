#include <Orvalis/Foundation/System/detail/Process.h>
#include <unistd.h>

namespace orvalis::detail {

std::int64_t processId() noexcept { return static_cast<std::int64_t>(::getpid()); }

std::string hostName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "unknown-host";
    return host;
}

}  // namespace orvalis::detail
