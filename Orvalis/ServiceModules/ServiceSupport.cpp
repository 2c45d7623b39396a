#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/ServiceModules/ServiceSupport.h>


namespace orvalis::detail {

URLRequest signedGET(const ZRBBaseServiceRequest& request, const std::string& path,
                     const std::optional<Dictionary>& query) {
    // The builders never read the provider they are called on.
    const ZRBOAuthProvider provider;
    if (const auto& source = request.merchantKeySource()) {
        return provider.GETURLRequest(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path, query,
                                      request.consumerKey(), *source, request.merechantKeyFilePassword(),
                                      OAuthSignatureTypeRSASHA1);
    }
    return provider.GETURLRequest(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path, query,
                                  request.consumerKey(), request.merechantKeyFileName(),
                                  request.merechantKeyFilePassword(), OAuthSignatureTypeRSASHA1);
}

URLRequest signedPOST(const ZRBBaseServiceRequest& request, const std::string& path,
                      const std::optional<std::string>& body, const std::string& contentType) {
    const ZRBOAuthProvider provider;
    if (const auto& source = request.merchantKeySource()) {
        return provider.POSTURLRequest(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path,
                                       request.consumerKey(), *source, request.merechantKeyFilePassword(),
                                       OAuthSignatureTypeRSASHA1, body, contentType);
    }
    return provider.POSTURLRequest(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path,
                                   request.consumerKey(), request.merechantKeyFileName(),
                                   request.merechantKeyFilePassword(), OAuthSignatureTypeRSASHA1, body, contentType);
}

void send(const URLRequest& request, SuccessCallback onSuccess, FailureCallback onFailure) {
    ZRBNetworkManager manager;
    manager.executeService(request, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis::detail
