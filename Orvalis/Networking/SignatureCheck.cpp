#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>
#include <Orvalis/Networking/SignatureCheck.h>

namespace orvalis {

std::optional<std::string> checkRequestSignature(const URLRequest& request, std::string_view certificatePEM,
                                                 const SignatureCheckOptions& options) {
    const std::vector<detail::PublicKey> keys = detail::loadPublicKeys(std::string(certificatePEM));
    if (keys.empty()) return "no certificate or public key in the PEM text";
    const std::string_view url = request.URL();
    const std::size_t query = url.find('?');
    return detail::checkOAuthRequest(request.HTTPMethod(), url.substr(0, query),
                                     query == std::string_view::npos ? std::string_view() : url.substr(query + 1),
                                     request.valueForHTTPHeaderField("Authorization").value_or(std::string()),
                                     request.HTTPBody().value_or(std::string()), keys, options)
        .refusal;
}

}  // namespace orvalis
