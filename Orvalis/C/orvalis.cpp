// The C interface's shared part: the thread's last error, the library's
// version and status texts, and the process-wide settings (resources, trust,
// pins, the key cache, logging).
#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/Utils/Crypto/KeyCache.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

using namespace orvalis;
using orvalis::detail::copyForCaller;
using orvalis::detail::failWith;
using orvalis::detail::guarded;
using orvalis::detail::guardedText;
using orvalis::detail::invalid;

// The C names of the library's own constants must never drift from them.
static_assert(ORVALIS_URL_ERROR_CANCELLED == URLErrorCancelled);
static_assert(ORVALIS_URL_ERROR_TIMED_OUT == URLErrorTimedOut);
static_assert(ORVALIS_URL_ERROR_CANNOT_CONNECT_TO_HOST == URLErrorCannotConnectToHost);
static_assert(ORVALIS_URL_ERROR_NETWORK_CONNECTION_LOST == URLErrorNetworkConnectionLost);
static_assert(ORVALIS_URL_ERROR_CANNOT_SIGN_REQUEST == URLErrorCannotSignRequest);
static_assert(ORVALIS_URL_ERROR_CANNOT_WRITE_BODY == URLErrorCannotWriteBody);
static_assert(ORVALIS_URL_ERROR_BAD_PATH_SEGMENT == URLErrorBadPathSegment);
static_assert(std::string_view(ORVALIS_URL_ERROR_DOMAIN) == URLErrorDomain);
static_assert(std::string_view(ORVALIS_NETWORK_ERROR_DOMAIN) == kZRBNetworkErrorDomain);
static_assert(ORVALIS_REACHED_NO == static_cast<int>(Reached::No) &&
              ORVALIS_REACHED_MAYBE == static_cast<int>(Reached::Maybe) &&
              ORVALIS_REACHED_YES == static_cast<int>(Reached::Yes));

namespace {

thread_local std::optional<std::string> t_lastError;

}  // namespace

namespace orvalis::detail {

orvalis_status failWith(orvalis_status status, std::string_view message) noexcept {
    try {
        t_lastError = std::string(message);
    } catch (...) {
        t_lastError.reset();  // no room for the text: the status still tells
    }
    return status;
}

char* copyForCaller(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

}  // namespace orvalis::detail

extern "C" {

const char* orvalis_version(void) { return ORVALIS_VERSION_STRING; }

const char* orvalis_status_text(orvalis_status status) {
    switch (status) {
        case ORVALIS_OK:
            return "ok";
        case ORVALIS_ERROR_INVALID_ARGUMENT:
            return "invalid argument";
        case ORVALIS_ERROR_TIMEOUT:
            return "time-out";
        case ORVALIS_ERROR_MALFORMED_INPUT:
            return "malformed input";
        case ORVALIS_ERROR_KEY:
            return "unusable key";
        case ORVALIS_ERROR_WRONG_THREAD:
            return "wrong thread";
        case ORVALIS_ERROR_NO_MEMORY:
            return "out of memory";
        case ORVALIS_ERROR_INTERNAL:
            return "internal error";
        case ORVALIS_ERROR_JOURNAL:
            return "journal error";
    }
    return "unknown status";
}

void orvalis_free(void* memory) { std::free(memory); }

char* orvalis_last_error(void) {
    return guardedText([] { return t_lastError ? copyForCaller(*t_lastError) : nullptr; });
}

orvalis_status orvalis_set_resource_path(const char* directory) {
    if (directory == nullptr) return invalid("no directory");
    return guarded([&] {
        Bundle::mainBundle().setResourcePath(directory);
        return ORVALIS_OK;
    });
}

orvalis_status orvalis_add_trusted_certificates(const char* pem_path) {
    if (pem_path == nullptr) return invalid("no PEM file");
    return guarded([&] {
        return URLSession::sharedSession().configuration().addTrustedCertificates(pem_path)
                   ? ORVALIS_OK
                   : invalid(std::string("no readable certificate in ") + pem_path);
    });
}

orvalis_status orvalis_pin_public_keys(const char* host, const char* pins) {
    if (host == nullptr || pins == nullptr) return invalid("no host or no pins");
    return guarded([&] {
        return URLSession::sharedSession().configuration().pinPublicKeys(host, pins)
                   ? ORVALIS_OK
                   : invalid("pins are \"sha256//<base64 of 32 bytes>\" entries joined by \";\"");
    });
}

orvalis_status orvalis_set_key_cache_lifetime(int64_t lifetime_ms) {
    return guarded([&] {
        return KeyCache::sharedInstance().setLifetime(std::chrono::milliseconds(lifetime_ms))
                   ? ORVALIS_OK
                   : invalid("the key cache's lifetime must not be negative");
    });
}

void orvalis_clear_key_cache(void) {
    guarded([] {
        KeyCache::sharedInstance().clear();
        return ORVALIS_OK;
    });
}

size_t orvalis_key_cache_count(void) {
    size_t kept = 0;
    guarded([&] {
        kept = KeyCache::sharedInstance().count();
        return ORVALIS_OK;
    });
    return kept;
}

void orvalis_set_log_handler(orvalis_log_handler handler, void* user_data) {
    guarded([&] {
        if (handler == nullptr) {
            setLogHandler(LogHandler());
        } else {
            setLogHandler([handler, user_data](std::string_view line) {
                const std::string text(line);  // NUL-terminated for the C side
                handler(text.c_str(), text.size(), user_data);
            });
        }
        return ORVALIS_OK;
    });
}

void orvalis_reset_log_handler(void) {
    guarded([] {
        resetLogHandler();
        return ORVALIS_OK;
    });
}

}  // extern "C"
