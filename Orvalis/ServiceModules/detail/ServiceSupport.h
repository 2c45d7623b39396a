#pragma once

// Internal to the services: not installed.
#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/URLRequest.h>
#include <Orvalis/Foundation/Value.h>
#include <Orvalis/Networking/detail/SignedRequest.h>
#include <Orvalis/ServiceModules/ZRBBaseService.h>
#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::detail {

/// Checks request's host and the ids the path will carry as segments. When one is
/// refused, its error reaches onFailure on the delivery thread, nothing is sent, and
/// true comes back (onFailure is then moved from).
bool refusedBeforeSending(const ZRBBaseServiceRequest& request, std::initializer_list<std::string_view> pathIds,
                          FailureCallback& onFailure);
/// Signs a GET for request's host and credentials over HTTPS with RSA-SHA1.
SignedRequest signedGET(const ZRBBaseServiceRequest& request, const std::string& path,
                        const std::optional<Dictionary>& query);
/// Signs a POST with body and contentType for request's host and credentials.
SignedRequest signedPOST(const ZRBBaseServiceRequest& request, const std::string& path,
                         const std::optional<std::string>& body, const std::string& contentType);
/// Hands the signed request to a new transport object; the outcome reaches
/// exactly one of the callbacks, unchanged. When service requires a signature
/// and there is none, nothing is sent and onFailure gets
/// URLErrorCannotSignRequest on the delivery thread. While a SendRoute is in
/// place on the calling thread, the request goes to it instead.
void send(const ZRBBaseService& service, const ZRBBaseServiceRequest& request, const SignedRequest& signedRequest,
          SuccessCallback onSuccess, FailureCallback onFailure);

/// Takes the signed requests that services send on this thread while it lives
/// (the operation handles run their own exchange). Ending, it puts back the one before.
class SendRoute {
public:
    using Handler = void (*)(void* context, const URLRequest& request);
    SendRoute(Handler handler, void* context) noexcept;
    ~SendRoute();
    SendRoute(const SendRoute&) = delete;
    SendRoute& operator=(const SendRoute&) = delete;
    /// The route in place on this thread, or nullptr.
    static SendRoute* current() noexcept;
    /// Passes a signed request on to the handler.
    void take(const URLRequest& request) const { handler_(context_, request); }

private:
    Handler handler_;
    void* context_;
    SendRoute* previous_;
};

}  // namespace orvalis::detail
