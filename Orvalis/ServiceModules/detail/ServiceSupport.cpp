#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/RequestTarget.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Networking/detail/SignedRequest.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

#include <utility>

namespace orvalis::detail {
namespace {

// Names the cause and where the key was looked for: production hosts often
// silence the log line that says the same.
Error cannotSignError(const SignedRequest& signedRequest) {
    std::string text = "The request was not sent: no signature could be made";
    if (signedRequest.keySource) {
        text += " with the key from " + signedRequest.keySource->description();
        // A file's description is its path already; a resource's says only its name.
        if (signedRequest.keySource->kind() == KeySource::Kind::Resource) {
            text += " (looked for " + signedRequest.keySource->searchedLocation() + ")";
        }
    }
    text += ": ";
    text += describe(signedRequest.keyStatus);
    text += "; a signature is required.";
    Dictionary info{{NSLocalizedDescriptionKey, Value(text)},
                    {URLErrorFailingURLStringKey, Value(signedRequest.request.URL())},
                    {URLErrorKeyStatusKey, Value(std::string(describe(signedRequest.keyStatus)))}};
    if (signedRequest.keySource) info.set(URLErrorKeySourceKey, Value(signedRequest.keySource->description()));
    return Error(URLErrorDomain, URLErrorCannotSignRequest, std::move(info));
}

std::optional<Error> checkTarget(const ZRBBaseServiceRequest& request,
                                 std::initializer_list<std::string_view> pathIds) {
    if (std::optional<Error> refusal = checkHost(request.host().value_or(std::string()))) return refusal;
    for (std::string_view id : pathIds) {
        if (std::optional<Error> refusal = checkPathSegment(id)) return refusal;
    }
    return std::nullopt;
}

PreparedRequest finish(SignedRequest signedRequest, const PreparePolicy& policy) {
    if (policy.requireSignature && !signedRequest.isSigned) return {std::nullopt, cannotSignError(signedRequest)};
    return {std::move(signedRequest.request), std::nullopt};
}

}  // namespace

PreparedRequest prepareGET(const ZRBBaseServiceRequest& request, std::initializer_list<std::string_view> pathIds,
                           const std::string& path, const std::optional<Dictionary>& query,
                           const PreparePolicy& policy) {
    if (std::optional<Error> refusal = checkTarget(request, pathIds)) return {std::nullopt, std::move(refusal)};
    return finish(buildSignedGET(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path, query,
                                 request.consumerKey(), request.merechantKeyFileName(), request.merchantKeySource(),
                                 request.merechantKeyFilePassword(), OAuthSignatureTypeRSASHA1),
                  policy);
}

PreparedRequest preparePOST(const ZRBBaseServiceRequest& request, const std::string& path,
                            const std::optional<std::string>& body, const std::string& contentType,
                            const PreparePolicy& policy) {
    if (std::optional<Error> refusal = checkTarget(request, {})) return {std::nullopt, std::move(refusal)};
    return finish(buildSignedPOST(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path,
                                  request.consumerKey(), request.merechantKeyFileName(), request.merchantKeySource(),
                                  request.merechantKeyFilePassword(), OAuthSignatureTypeRSASHA1, body, contentType),
                  policy);
}

Error bodyRefusal(std::string_view reason) {
    std::string text = "The request was not sent: its body cannot be written (";
    text += reason;
    text += ").";
    return Error::withDescription(URLErrorDomain, URLErrorCannotWriteBody, text);
}

void sendWithCallbacks(PreparedRequest prepared, SuccessCallback onSuccess, FailureCallback onFailure) {
    if (prepared.refusal) {
        // Reported like a transport failure: later, on the delivery thread, never in this call.
        failBeforeSending(std::move(*prepared.refusal), std::move(onFailure));
        return;
    }
    ZRBNetworkManager manager;
    manager.executeService(*prepared.request, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis::detail
