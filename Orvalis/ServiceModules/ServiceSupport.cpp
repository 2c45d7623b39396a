#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/ServiceModules/ServiceSupport.h>

#include <cstdint>

namespace orvalis::detail {

URLRequest signedGET(const ZRBBaseServiceRequest& request, const std::string& path,
                     const std::optional<Dictionary>& query) {
    // The builders never read the provider they are called on.
    const ZRBOAuthProvider provider;
    return provider.GETURLRequest(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path, query,
                                  request.consumerKey(), request.merechantKeyFileName(),
                                  request.merechantKeyFilePassword(), OAuthSignatureTypeRSASHA1);
}

URLRequest signedPOST(const ZRBBaseServiceRequest& request, const std::string& path,
                      const std::optional<std::string>& body, const std::string& contentType) {
    const ZRBOAuthProvider provider;
    return provider.POSTURLRequest(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path,
                                   request.consumerKey(), request.merechantKeyFileName(),
                                   request.merechantKeyFilePassword(), OAuthSignatureTypeRSASHA1, body, contentType);
}

void send(const URLRequest& request, SuccessCallback onSuccess, FailureCallback onFailure) {
    ZRBNetworkManager manager;
    manager.executeService(request, std::move(onSuccess), std::move(onFailure));
}

bool isValidUTF8(std::string_view s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace orvalis::detail
