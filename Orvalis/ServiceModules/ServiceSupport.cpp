#include <Orvalis/Foundation/detail/RequestTarget.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/ServiceModules/ServiceSupport.h>


namespace orvalis::detail {

bool refusedBeforeSending(const ZRBBaseServiceRequest& request, std::initializer_list<std::string_view> pathIds,
                          FailureCallback& onFailure) {
    std::optional<Error> refusal = checkHost(request.host().value_or(std::string()));
    for (auto id = pathIds.begin(); !refusal && id != pathIds.end(); ++id) refusal = checkPathSegment(*id);
    if (!refusal) return false;
    failBeforeSending(std::move(*refusal), std::move(onFailure));
    return true;
}

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

}  // namespace orvalis::detail
