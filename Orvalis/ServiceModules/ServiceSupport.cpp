#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Foundation/detail/RefusedTask.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/ServiceModules/ServiceSupport.h>

namespace orvalis::detail {
namespace {

Error cannotSignError(const ZRBBaseServiceRequest& request, const URLRequest& signedRequest) {
    const std::optional<std::string>& keyFile = request.merechantKeyFileName();
    std::string text = "The request was not sent: ";
    if (keyFile) {
        text += "no signature could be made with the key file \"" + *keyFile +
                ".p12\" (missing, unreadable, another password, or no RSA key in it)";
    } else {
        text += "no key file name is set, so no signature could be made";
    }
    text += ", and a signature is required.";
    return Error(URLErrorDomain, URLErrorCannotSignRequest,
                 Dictionary{{NSLocalizedDescriptionKey, Value(text)},
                            {URLErrorFailingURLStringKey, Value(signedRequest.URL())}});
}

}  // namespace

SignedRequest signedGET(const ZRBBaseServiceRequest& request, const std::string& path,
                        const std::optional<Dictionary>& query) {
    return buildSignedGET(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path, query,
                          request.consumerKey(), request.merechantKeyFileName(), request.merechantKeyFilePassword(),
                          OAuthSignatureTypeRSASHA1);
}

SignedRequest signedPOST(const ZRBBaseServiceRequest& request, const std::string& path,
                         const std::optional<std::string>& body, const std::string& contentType) {
    return buildSignedPOST(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path, request.consumerKey(),
                           request.merechantKeyFileName(), request.merechantKeyFilePassword(),
                           OAuthSignatureTypeRSASHA1, body, contentType);
}

void send(const ZRBBaseService& service, const ZRBBaseServiceRequest& request, const SignedRequest& signedRequest,
          SuccessCallback onSuccess, FailureCallback onFailure) {
    if (service.requireSignature() && !signedRequest.isSigned) {
        // Reported like a transport failure: later, on the delivery thread, never in this call.
        completeWithoutSending(
            cannotSignError(request, signedRequest.request),
            [onFailure = std::move(onFailure)](std::optional<std::string>, std::optional<HTTPURLResponse>,
                                               std::optional<Error> error) { onFailure(*error); });
        return;
    }
    ZRBNetworkManager manager;
    manager.executeService(signedRequest.request, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis::detail
