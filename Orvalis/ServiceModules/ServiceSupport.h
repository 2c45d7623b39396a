#pragma once

// Internal to the services: not installed.
#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/URLRequest.h>
#include <Orvalis/Foundation/Value.h>
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
URLRequest signedGET(const ZRBBaseServiceRequest& request, const std::string& path,
                     const std::optional<Dictionary>& query);
/// Signs a POST with body and contentType for request's host and credentials.
URLRequest signedPOST(const ZRBBaseServiceRequest& request, const std::string& path,
                      const std::optional<std::string>& body, const std::string& contentType);
/// Hands the request to a new transport object; the outcome reaches exactly
/// one of the callbacks, unchanged.
void send(const URLRequest& request, SuccessCallback onSuccess, FailureCallback onFailure);

}  // namespace orvalis::detail
