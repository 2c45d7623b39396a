#pragma once

// Internal to the library: not installed.
#include <Orvalis/Foundation/Transport/URLRequest.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <optional>
#include <string>

namespace orvalis::detail {

/// A request built by the signer, and whether it carries a signature (a key
/// file that is missing, locked with another password or unusable gives none).
struct SignedRequest {
    URLRequest request;
    bool isSigned = false;
    /// Loaded when signed; else why there was no key.
    KeyStatus keyStatus = KeyStatus::NotNamed;
    /// Where the key was to come from; none when no key was named.
    std::optional<KeySource> keySource;
};

/// What ZRBOAuthProvider::GETURLRequest builds (key from keySource when set, else the
/// resource privatep12), with the signing outcome.
SignedRequest buildSignedGET(OAuthURLSchemeType scheme, const std::string& host, const std::string& urlPath,
                             const std::optional<Dictionary>& queryparam, const std::optional<std::string>& consumerkey,
                             const std::optional<std::string>& privatep12, const std::optional<KeySource>& keySource,
                             const std::optional<std::string>& passwordp12, OAuthSignatureType outhSigntype);
/// What ZRBOAuthProvider::POSTURLRequest builds, with the signing outcome.
SignedRequest buildSignedPOST(OAuthURLSchemeType scheme, const std::string& host, const std::string& urlPath,
                              const std::optional<std::string>& consumerKey,
                              const std::optional<std::string>& privatep12, const std::optional<KeySource>& keySource,
                              const std::optional<std::string>& passwordp12, OAuthSignatureType outhSigntype,
                              const std::optional<std::string>& requestBody, const std::string& contentType);

}  // namespace orvalis::detail
