// The C interface's per-client transport settings: user agent, proxy, trust anchors, pins, limits.
#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/TransportSettings.h>
#include <Orvalis/ServiceInfrastructure/Client.h>

#include <string>

using namespace orvalis;
using orvalis::detail::failWith;

static_assert(ORVALIS_URL_ERROR_SERVER_CERTIFICATE_UNTRUSTED == URLErrorServerCertificateUntrusted);
static_assert(ORVALIS_URL_ERROR_SERVER_PUBLIC_KEY_PIN_MISMATCH == URLErrorServerPublicKeyPinMismatch);

orvalis_status orvalis_client_config_set_user_agent(orvalis_client_config* config, const char* user_agent) {
    if (config == nullptr) return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no configuration");
    config->configuration.userAgent = user_agent != nullptr ? user_agent : "";
    return ORVALIS_OK;
}

orvalis_status orvalis_client_config_set_proxy(orvalis_client_config* config, const char* proxy) {
    if (config == nullptr) return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no configuration");
    config->configuration.proxy = proxy != nullptr ? std::optional<std::string>(proxy) : std::nullopt;
    return ORVALIS_OK;
}

orvalis_status orvalis_client_config_add_trusted_certificates(orvalis_client_config* config, const char* pem_path) {
    if (config == nullptr || pem_path == nullptr) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no configuration or no file");
    }
    if (!detail::readCertificatesPEM(pem_path)) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, std::string("no readable PEM certificate in \"") + pem_path + "\"");
    }
    config->configuration.trustedCertificateFiles.emplace_back(pem_path);
    return ORVALIS_OK;
}

orvalis_status orvalis_client_config_pin_public_keys(orvalis_client_config* config, const char* host, const char* pins) {
    if (config == nullptr || host == nullptr || pins == nullptr || !detail::wellFormedPins(pins)) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT,
                        "no configuration or host, or pins that are not \"sha256//<base64>\" entries joined by \";\"");
    }
    config->configuration.pinnedPublicKeys[host] = pins;
    return ORVALIS_OK;
}

orvalis_status orvalis_client_config_set_connection_limits(orvalis_client_config* config, long per_host, long total,
                                                           long streams_per_connection) {
    if (config == nullptr) return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no configuration");
    // Checked, like the other settings, when the client is made.
    config->configuration.connectionLimits = ConnectionLimits{per_host, total, streams_per_connection};
    return ORVALIS_OK;
}
