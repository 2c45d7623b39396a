#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Foundation/detail/RequestTarget.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

#include <utility>

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

bool refusedBeforeSending(const ZRBBaseServiceRequest& request, std::initializer_list<std::string_view> pathIds,
                          FailureCallback& onFailure) {
    std::optional<Error> refusal = checkHost(request.host().value_or(std::string()));
    for (auto id = pathIds.begin(); !refusal && id != pathIds.end(); ++id) refusal = checkPathSegment(*id);
    if (!refusal) return false;
    failBeforeSending(std::move(*refusal), std::move(onFailure));
    return true;
}

SignedRequest signedGET(const ZRBBaseServiceRequest& request, const std::string& path,
                        const std::optional<Dictionary>& query) {
    return buildSignedGET(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path, query,
                          request.consumerKey(), request.merechantKeyFileName(), request.merchantKeySource(),
                          request.merechantKeyFilePassword(), OAuthSignatureTypeRSASHA1);
}

SignedRequest signedPOST(const ZRBBaseServiceRequest& request, const std::string& path,
                         const std::optional<std::string>& body, const std::string& contentType) {
    return buildSignedPOST(OAuthURLSchemeTypeHTTPS, request.host().value_or(std::string()), path, request.consumerKey(),
                           request.merechantKeyFileName(), request.merchantKeySource(),
                           request.merechantKeyFilePassword(), OAuthSignatureTypeRSASHA1, body, contentType);
}

namespace {
thread_local SendRoute* t_route = nullptr;
}  // namespace

SendRoute::SendRoute(Handler handler, void* context) noexcept
    : handler_(handler), context_(context), previous_(std::exchange(t_route, this)) {}
SendRoute::~SendRoute() { t_route = previous_; }
SendRoute* SendRoute::current() noexcept { return t_route; }

void send(const ZRBBaseService& service, const ZRBBaseServiceRequest& request, const SignedRequest& signedRequest,
          SuccessCallback onSuccess, FailureCallback onFailure) {
    if (service.requireSignature() && !signedRequest.isSigned) {
        // Reported like a transport failure: later, on the delivery thread, never in this call.
        failBeforeSending(cannotSignError(request, signedRequest.request), std::move(onFailure));
        return;
    }
    if (const SendRoute* route = SendRoute::current()) {
        // The route completes the operation itself; these callbacks are not called.
        route->take(signedRequest.request);
        return;
    }
    ZRBNetworkManager manager;
    manager.executeService(signedRequest.request, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis::detail
