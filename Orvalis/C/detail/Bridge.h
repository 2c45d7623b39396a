#pragma once

// Internal to the C interface: not installed. What every orvalis_ function
// shares: the thread's last error, C strings for the caller, and the guard that
// keeps C++ exceptions on this side of the interface.
#include <Orvalis/C/orvalis.h>
#include <Orvalis/C/orvalis_testing.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>
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

/// Whether options (NULL: none) has a struct_size that cuts no field, and none of the
/// fields it covers is out of range.
bool acceptableCallOptions(const orvalis_call_options* options) noexcept;
/// What options (NULL: none) asks of one operation; fields beyond its struct_size are the client's.
OperationOptions callOptions(const orvalis_call_options* options);

/// The C view of one attempt (struct_size: the whole struct).
orvalis_attempt attemptOf(const AttemptRecord& record) noexcept;

/// Records message as the calling thread's last error and returns status.
orvalis_status failWith(orvalis_status status, std::string_view message) noexcept;

/// Records what as the calling thread's last error and returns INVALID_ARGUMENT.
inline orvalis_status invalid(std::string_view what) noexcept {
    return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, what);
}

/// A malloc'd, NUL-terminated copy of text for the caller (orvalis_free frees
/// it); throws std::bad_alloc.
char* copyForCaller(std::string_view text);

/// Where a struct's field ends: a struct_size that covers it is at least this.
#define ORVALIS_FIELD_END(type, field) (offsetof(type, field) + sizeof(type::field))

/// Bytes of each sized struct that every caller has: its fields of the first version.
constexpr std::size_t firstVersionEnd(const orvalis_call_options*) {
    return ORVALIS_FIELD_END(orvalis_call_options, overall_timeout_ms);
}
constexpr std::size_t firstVersionEnd(const orvalis_initialize_pairing_request*) {
    return ORVALIS_FIELD_END(orvalis_initialize_pairing_request, user_id);
}
constexpr std::size_t firstVersionEnd(const orvalis_pairing_id_request*) {
    return ORVALIS_FIELD_END(orvalis_pairing_id_request, user_id);
}
constexpr std::size_t firstVersionEnd(const orvalis_authorize_pairing_request*) {
    return ORVALIS_FIELD_END(orvalis_authorize_pairing_request, pairing_transaction_id);
}
constexpr std::size_t firstVersionEnd(const orvalis_precheckout_data_request*) {
    return ORVALIS_FIELD_END(orvalis_precheckout_data_request, pairing_id);
}
constexpr std::size_t firstVersionEnd(const orvalis_express_checkout_request*) {
    return ORVALIS_FIELD_END(orvalis_express_checkout_request, external_data);
}
constexpr std::size_t firstVersionEnd(const orvalis_payment_data_request*) {
    return ORVALIS_FIELD_END(orvalis_payment_data_request, external_data);
}
constexpr std::size_t firstVersionEnd(const orvalis_xml_options*) {
    return ORVALIS_FIELD_END(orvalis_xml_options, node_name_mode);
}
constexpr std::size_t firstVersionEnd(const orvalis_sign_request*) {
    return ORVALIS_FIELD_END(orvalis_sign_request, timestamp);
}
constexpr std::size_t firstVersionEnd(const orvalis_attempt*) { return ORVALIS_FIELD_END(orvalis_attempt, error_code); }
constexpr std::size_t firstVersionEnd(const orvalis_exchange*) {
    return ORVALIS_FIELD_END(orvalis_exchange, body_length);
}

/// Fields added after the first version, as [offsetof, end) spans.
struct FieldSpan {
    std::size_t begin, end;
};
constexpr std::array<FieldSpan, 0> laterFields(const void*) { return {}; }
constexpr std::array<FieldSpan, 1> laterFields(const orvalis_call_options*) {
    return {{{offsetof(orvalis_call_options, max_attempts), ORVALIS_FIELD_END(orvalis_call_options, max_attempts)}}};
}

/// Whether a caller's struct is there and its struct_size cuts no field: it covers the
/// first version's fields, ends where one of the later fields ends (or in the padding
/// after it), and reaches no further than this version's struct (the library could not
/// read fields of a newer header). Every field it covers is then read and checked.
template <class Struct>
bool covers(const Struct* given) noexcept {
    if (given == nullptr) return false;
    const std::size_t size = given->struct_size;
    if (size < firstVersionEnd(given) || size > sizeof(Struct)) return false;
    for (const FieldSpan& field : laterFields(given)) {
        if (size > field.begin && size < field.end) return false;
    }
    return true;
}

/// Runs body (returning an orvalis_status); an exception becomes the status of its
/// kind, with its text as the last error: a refused value (std::invalid_argument)
/// INVALID_ARGUMENT, std::bad_alloc NO_MEMORY, anything else INTERNAL.
template <class Body>
orvalis_status guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return failWith(ORVALIS_ERROR_NO_MEMORY, "out of memory");
    } catch (const std::invalid_argument& e) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, e.what());
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
