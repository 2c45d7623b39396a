#pragma once

// Internal to the library: not installed. What one client sets for its own
// transfers apart from the process-wide session settings.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct x509_st;

namespace orvalis {
class URLSessionDataTask;
}

namespace orvalis::detail {

/// Immutable once handed to a task; shared by every task of one client.
struct TransportSettings {
    /// Sent when a request sets no User-Agent; empty: none.
    std::string userAgent;
    /// Set: this proxy for every request ("": none, whatever the environment says);
    /// unset: libcurl's environment variables.
    std::optional<std::string> proxy;
    /// Anchors trusted beside the system store and the process's, as PEM text.
    std::string trustedPEM;
    /// Lower-case host -> "sha256//...;..."; wins over the process's pin for that host.
    std::map<std::string, std::string> pins;

    // The CA list a transfer hands to TLS (system, process and own anchors),
    // made again when the process's anchors change. Delivery thread only.
    mutable std::shared_ptr<const std::string> caBlob;
    mutable std::shared_ptr<const void> caBlobFor;
};

/// "Orvalis/<version> libcurl/<version>".
const std::string& defaultUserAgent();

/// The certificates of a PEM file; none when it cannot be read.
std::vector<std::shared_ptr<x509_st>> readCertificates(const std::string& path);

/// certificates as PEM text; "" when one cannot be written.
std::string certificatesAsPEM(const std::vector<std::shared_ptr<x509_st>>& certificates);

/// The certificates of a PEM file, written back as PEM text; nullopt when the file
/// holds no readable certificate.
std::optional<std::string> readCertificatesPEM(const std::string& path);

/// Whether pins is a list of "sha256//<base64 SHA-256>" entries joined by ";".
bool wellFormedPins(std::string_view pins) noexcept;

/// The proxy as shown in messages: its credentials left out.
std::string proxyForDisplay(std::string_view proxy);

/// Makes task use settings (call before resume()).
void useTransportSettings(URLSessionDataTask& task, std::shared_ptr<const TransportSettings> settings) noexcept;

}  // namespace orvalis::detail
