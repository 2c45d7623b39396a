// Key sources and client configurations of the C interface.
#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Transport/detail/Durations.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

using namespace orvalis;
using orvalis::detail::guarded;
using orvalis::detail::invalid;

namespace {

std::optional<std::string> optionalText(const char* text) {
    return text == nullptr ? std::nullopt : std::optional<std::string>(text);
}

orvalis_status newKeySource(orvalis_key_source** out, bool given, auto make) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr || !given) return invalid("no key location, or no place for the key source");
    return guarded([&] {
        *out = new orvalis_key_source{make()};
        return ORVALIS_OK;
    });
}

orvalis_status configure(orvalis_client_config* config, auto change) {
    if (config == nullptr) return invalid("no configuration");
    return guarded([&] {
        change(config->configuration);
        return ORVALIS_OK;
    });
}

}  // namespace

extern "C" {

// Key sources.

orvalis_status orvalis_key_source_resource(const char* name, orvalis_key_source** source_out) {
    return newKeySource(source_out, name != nullptr, [&] { return KeySource::resource(name); });
}

orvalis_status orvalis_key_source_file(const char* path, orvalis_key_source** source_out) {
    return newKeySource(source_out, path != nullptr, [&] { return KeySource::file(path); });
}

orvalis_status orvalis_key_source_memory(const void* bytes, size_t length, orvalis_key_source** source_out) {
    return newKeySource(source_out, bytes != nullptr || length == 0, [&] {
        return KeySource::memory(std::string_view(static_cast<const char*>(bytes), bytes ? length : 0));
    });
}

orvalis_status orvalis_key_source_token(const char* uri, const char* pin_file, orvalis_key_source** source_out) {
    return newKeySource(source_out, uri != nullptr, [&] {
        return KeySource::token(uri, pin_file != nullptr ? PinSource::file(pin_file) : PinSource());
    });
}

orvalis_status orvalis_key_source_token_pin_callback(const char* uri, orvalis_pin_callback callback, void* user_data,
                                                     orvalis_key_source** source_out) {
    return newKeySource(source_out, uri != nullptr && callback != nullptr, [&] {
        return KeySource::token(uri, PinSource::callback([callback, user_data]() -> std::optional<std::string> {
            constexpr std::size_t kCapacity = 256;  // PKCS#11 PINs are short; a longer one is refused
            std::string pin(kCapacity, '\0');
            const long length = callback(user_data, pin.data(), kCapacity);
            if (length < 0 || static_cast<std::size_t>(length) > kCapacity) {
                detail::secureWipe(pin);
                return std::nullopt;
            }
            detail::secureWipe(pin.data() + length, kCapacity - static_cast<std::size_t>(length));
            pin.resize(static_cast<std::size_t>(length));
            return pin;
        }));
    });
}

void orvalis_key_source_free(orvalis_key_source* source) { delete source; }

// Client configuration.

orvalis_status orvalis_client_config_new(orvalis_client_config** config_out) {
    if (config_out == nullptr) return invalid("no place for the configuration");
    *config_out = nullptr;
    return guarded([&] {
        *config_out = new orvalis_client_config();
        return ORVALIS_OK;
    });
}

void orvalis_client_config_free(orvalis_client_config* config) { delete config; }

orvalis_status orvalis_client_config_set_host(orvalis_client_config* config, const char* host) {
    return configure(config, [&](ClientConfiguration& c) { c.host = optionalText(host); });
}

orvalis_status orvalis_client_config_set_consumer_key(orvalis_client_config* config, const char* consumer_key) {
    return configure(config, [&](ClientConfiguration& c) { c.consumerKey = optionalText(consumer_key); });
}

orvalis_status orvalis_client_config_set_key_source(orvalis_client_config* config, const orvalis_key_source* source) {
    return configure(config, [&](ClientConfiguration& c) {
        c.keySource = source ? std::optional<KeySource>(source->source) : std::nullopt;
    });
}

orvalis_status orvalis_client_config_set_key_password(orvalis_client_config* config, const char* password) {
    return configure(config, [&](ClientConfiguration& c) {
        detail::secureWipe(c.keyFilePassword);
        c.keyFilePassword = optionalText(password);
    });
}

orvalis_status orvalis_client_config_set_require_signature(orvalis_client_config* config, int require) {
    return configure(config, [&](ClientConfiguration& c) { c.requireSignature = require != 0; });
}

orvalis_status orvalis_client_config_set_idle_timeout_ms(orvalis_client_config* config, int64_t milliseconds) {
    if (milliseconds <= 0) return invalid("the idle time-out must be above zero");
    return configure(config, [&](ClientConfiguration& c) { c.idleTimeout = std::chrono::milliseconds(milliseconds); });
}

orvalis_status orvalis_client_config_set_overall_timeout_ms(orvalis_client_config* config, int64_t milliseconds) {
    if (milliseconds < 0) return invalid("the overall time-out must not be negative");
    return configure(config, [&](ClientConfiguration& c) {
        c.overallTimeout = milliseconds == 0 ? std::nullopt : std::optional<std::chrono::milliseconds>(milliseconds);
    });
}

orvalis_status orvalis_client_config_set_full_log_lines(orvalis_client_config* config, int full) {
    return configure(config, [&](ClientConfiguration& c) { c.fullLogLines = full != 0; });
}

}  // extern "C"
