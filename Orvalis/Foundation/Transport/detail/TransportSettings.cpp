// What a client sets for its own transfers, and the certificate files behind
// trust anchors.
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/Session.h>
#include <Orvalis/Foundation/Transport/detail/ContentDecoder.h>
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/RequestTarget.h>
#include <Orvalis/Foundation/Transport/detail/TransferSupport.h>
#include <Orvalis/Foundation/Transport/detail/TransportSettings.h>
#include <Orvalis/Version.h>
#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <poll.h>
#include <unistd.h>

namespace orvalis::detail {

std::string certificatesAsPEM(const std::vector<std::shared_ptr<X509>>& certificates) {
    BioPtr out(BIO_new(BIO_s_mem()));
    for (const auto& cert : certificates) {
        if (!out || PEM_write_bio_X509(out.get(), cert.get()) != 1) return {};
    }
    char* data = nullptr;
    const long size = out ? BIO_get_mem_data(out.get(), &data) : 0;
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::vector<std::shared_ptr<X509>> readCertificates(const std::string& path) {
    std::vector<std::shared_ptr<X509>> found;
    std::optional<std::string> pem = readWholeFile(path);
    if (!pem || pem->size() > static_cast<size_t>(std::numeric_limits<int>::max())) return found;
    BioPtr bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
    if (!bio) return found;
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        found.emplace_back(cert, Deleter<X509_free>());
    }
    ERR_clear_error();  // the loop ends on "no start line", which is not a failure
    return found;
}

const std::string& defaultUserAgent() {
    static const std::string agent = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        return std::string("Orvalis/" ORVALIS_VERSION_STRING " libcurl/") +
               (info && info->version ? info->version : "unknown");
    }();
    return agent;
}

std::optional<std::string> readCertificatesPEM(const std::string& path) {
    std::string pem = certificatesAsPEM(readCertificates(path));
    if (pem.empty()) return std::nullopt;
    return pem;
}

bool wellFormedPins(std::string_view pins) noexcept {
    std::string_view rest(pins);
    while (!rest.empty()) {
        size_t end = rest.find(';');
        std::string_view pin = rest.substr(0, end);
        constexpr std::string_view prefix = "sha256//";
        // A SHA-256 digest in Base64 is 44 characters with its padding.
        if (pin.substr(0, prefix.size()) != prefix || pin.size() != prefix.size() + 44) return false;
        unsigned char digest[48];
        if (EVP_DecodeBlock(digest, reinterpret_cast<const unsigned char*>(pin.data() + prefix.size()), 44) != 33) {
            return false;
        }
        if (end == std::string_view::npos) break;
        rest = rest.substr(end + 1);
        if (rest.empty()) return false;  // a trailing ";"
    }
    return true;
}

std::string proxyForDisplay(std::string_view proxy) {
    const size_t scheme = proxy.find("://");
    const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const size_t at = proxy.find('@', start);
    const size_t slash = proxy.find('/', start);
    if (at == std::string_view::npos || (slash != std::string_view::npos && slash < at)) return std::string(proxy);
    return std::string(proxy.substr(0, start)) + std::string(proxy.substr(at + 1));
}

void useTransportSettings(URLSessionDataTask& task, std::shared_ptr<const TransportSettings> settings) noexcept {
    if (task.state_) task.state_->settings = std::move(settings);
}

}  // namespace orvalis::detail
