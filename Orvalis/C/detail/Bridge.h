#pragma once

// Internal to the C interface: not installed. What every orvalis_ function
// shares: the thread's last error, C strings for the caller, and the guard that
// keeps C++ exceptions on this side of the interface.
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

/// The handle of a key source: the C++ source, immutable.
struct orvalis_key_source {
    orvalis::KeySource source;
};

/// The settings a C client is made from.
struct orvalis_client_config {
    orvalis::ClientConfiguration configuration;
    ~orvalis_client_config() { orvalis::detail::secureWipe(configuration.keyFilePassword); }
};

/// A result handle: copies share its Dictionaries, which nobody changes.
struct orvalis_result {
    orvalis::OperationResult outcome;
};

namespace orvalis::detail {

/// Whether options (NULL: none) covers this version's first fields and holds nothing out of range.
bool acceptableCallOptions(const orvalis_call_options* options) noexcept;
/// What options (NULL: none) asks of one operation; fields beyond its struct_size are the client's.
OperationOptions callOptions(const orvalis_call_options* options);

/// Records message as the calling thread's last error and returns status.
orvalis_status failWith(orvalis_status status, std::string_view message) noexcept;

/// Records what as the calling thread's last error and returns INVALID_ARGUMENT.
inline orvalis_status invalid(std::string_view what) noexcept {
    return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, what);
}

/// A malloc'd, NUL-terminated copy of text for the caller (orvalis_free frees
/// it); throws std::bad_alloc.
char* copyForCaller(std::string_view text);

/// Whether a caller's struct is there and covers every field of this version.
template <class Struct>
bool covers(const Struct* given) noexcept {
    return given != nullptr && given->struct_size >= sizeof(Struct);
}

/// Runs body (returning an orvalis_status); an exception becomes NO_MEMORY or
/// INTERNAL with its text as the last error.
template <class Body>
orvalis_status guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return failWith(ORVALIS_ERROR_NO_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return failWith(ORVALIS_ERROR_INTERNAL, e.what());
    } catch (...) {
        return failWith(ORVALIS_ERROR_INTERNAL, "unknown failure");
    }
}

/// Runs body (returning a char* for the caller); an exception gives NULL and
/// the last error.
template <class Body>
char* guardedText(Body&& body) noexcept {
    char* text = nullptr;
    guarded([&] {
        text = body();
        return ORVALIS_OK;
    });
    return text;
}

}  // namespace orvalis::detail
