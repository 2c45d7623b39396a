// The C interface's view of attempts, retries and the observer.
#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/ServiceInfrastructure/Client.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <limits>

using namespace orvalis;
using orvalis::detail::attemptOf;
using orvalis::detail::covers;
using orvalis::detail::failWith;
using orvalis::detail::guarded;

namespace {

using std::chrono::milliseconds;

bool coversAttempts(const orvalis_call_options& options) noexcept {
    return options.struct_size >= ORVALIS_FIELD_END(orvalis_call_options, max_attempts);
}

}  // namespace

namespace orvalis::detail {

orvalis_attempt attemptOf(const AttemptRecord& record) noexcept {
    orvalis_attempt out{};
    out.struct_size = sizeof out;
    out.started_after_us = record.startedAfter.count();
    out.name_lookup_us = record.timings.nameLookup.count();
    out.connect_us = record.timings.connect.count();
    out.tls_us = record.timings.secureConnection.count();
    out.first_byte_us = record.timings.firstByte.count();
    out.total_us = record.timings.total.count();
    out.http_status = static_cast<int>(record.statusCode);
    out.error_code = record.error ? record.error->code() : 0;
    return out;
}

}  // namespace orvalis::detail

namespace {

bool inRange(int64_t value, int64_t most) noexcept { return value >= 0 && value <= most; }

}  // namespace

namespace orvalis::detail {

// A caller compiled before max_attempts existed passes a shorter struct: still good.
bool acceptableCallOptions(const orvalis_call_options* options) noexcept {
    if (options == nullptr) return true;
    if (!covers(options) || options->idle_timeout_ms < 0 || options->overall_timeout_ms < 0) return false;
    return !coversAttempts(*options) || inRange(options->max_attempts, RetryPolicy::kMaxAttempts);
}

OperationOptions callOptions(const orvalis_call_options* options) {
    OperationOptions out;
    if (options == nullptr) return out;
    if (options->idle_timeout_ms > 0) out.idleTimeout = milliseconds(options->idle_timeout_ms);
    if (options->overall_timeout_ms > 0) out.overallTimeout = milliseconds(options->overall_timeout_ms);
    if (coversAttempts(*options) && options->max_attempts > 0) {
        out.maxAttempts = options->max_attempts;
    }
    return out;
}

}  // namespace orvalis::detail

orvalis_status orvalis_client_config_set_retry(orvalis_client_config* config, int max_attempts,
                                               int64_t initial_backoff_ms, int64_t max_backoff_ms,
                                               int64_t max_retry_after_ms) {
    if (config == nullptr) return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no configuration");
    constexpr int64_t kHour = 3600000;
    if (!inRange(max_attempts, RetryPolicy::kMaxAttempts) || !inRange(initial_backoff_ms, kHour) ||
        !inRange(max_backoff_ms, kHour) || max_backoff_ms < initial_backoff_ms ||
        !inRange(max_retry_after_ms, std::numeric_limits<int32_t>::max())) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT,
                        "the attempts must be 0 to 10, the pauses 0 to an hour with the longest at least the first");
    }
    config->configuration.retry = RetryPolicy{max_attempts, milliseconds(initial_backoff_ms),
                                              milliseconds(max_backoff_ms), milliseconds(max_retry_after_ms)};
    return ORVALIS_OK;
}

size_t orvalis_result_attempt_count(const orvalis_result* result) {
    return result ? result->outcome.attempts.size() : 0;
}

orvalis_status orvalis_result_attempt(const orvalis_result* result, size_t index, orvalis_attempt* attempt_out) {
    if (result == nullptr || !covers(attempt_out) || index >= result->outcome.attempts.size()) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no result, no attempt there, or a struct_size that cuts a field");
    }
    // Only the bytes the caller's struct_size covers are written.
    const std::size_t size = attempt_out->struct_size;
    orvalis_attempt full = attemptOf(result->outcome.attempts[index]);
    full.struct_size = size;
    std::memcpy(attempt_out, &full, size);
    return ORVALIS_OK;
}

char* orvalis_result_attempt_correlation_id(const orvalis_result* result, size_t index) {
    if (result == nullptr || index >= result->outcome.attempts.size()) return nullptr;
    return detail::guardedText([&] { return detail::copyForCaller(result->outcome.attempts[index].correlationId); });
}

orvalis_status orvalis_client_config_set_observer(orvalis_client_config* config, orvalis_observer observer,
                                                  void* user_data) {
    if (config == nullptr) return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no configuration");
    return guarded([&] {
        if (observer == nullptr) {
            config->configuration.observer = nullptr;
            return ORVALIS_OK;
        }
        config->configuration.observer = [observer, user_data](const OperationEvent& event) {
            orvalis_event out{};
            out.struct_size = sizeof out;
            out.kind = static_cast<orvalis_event_kind>(event.kind);
            out.operation = event.operation;
            out.attempt = event.attempt;
            out.retry_in_ms = event.retryIn ? event.retryIn->count() : -1;
            out.correlation_id = event.attemptRecord ? event.attemptRecord->correlationId.c_str() : "";
            if (event.attemptRecord) out.attempt_info = attemptOf(*event.attemptRecord);
            std::optional<orvalis_result> result;
            if (event.result) out.result = &result.emplace(orvalis_result{*event.result});
            observer(&out, user_data);
        };
        return ORVALIS_OK;
    });
}
