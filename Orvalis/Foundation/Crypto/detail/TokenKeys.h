#pragma once

// Internal to the library: not installed. Keys that stay in a PKCS#11 token
// (smart card, HSM), named by an RFC 7512 URI. p11-kit parses the URI and
// loads the modules; the layers above see these types only.
#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::detail {

/// How a token request ended.
enum class TokenStatus {
    Done,              ///< signed (or the certificate was read)
    NotURI,            ///< not a PKCS#11 URI p11-kit can read
    ModuleNotLoaded,   ///< the URI's module (or, without module-path, every configured one) failed to load
    TokenAbsent,       ///< no token present matches the URI, or it went away
    NoPIN,             ///< the token needs a login and no PIN was given
    WrongPIN,          ///< the token refused the PIN
    PINLocked,         ///< the token's user PIN is locked
    KeyNotFound,       ///< no private key in the token matches the URI
    KeyAmbiguous,      ///< two or more private keys match the URI
    MechanismRefused,  ///< the key cannot sign with RSA PKCS#1 v1.5 over that hash
    SessionLost,       ///< the session closed under the request; the next one logs in again
    NoCertificate,     ///< the key has no certificate beside it in the token
    Failed,            ///< any other refusal of the module (cause names its code)
};

/// Gives the PIN when a login needs one; no value when there is none. Its text
/// is wiped once the login is done.
using PinReader = std::function<std::optional<std::string>()>;

/// A token request's outcome.
struct TokenOutcome {
    TokenStatus status = TokenStatus::Failed;
    std::string signature;  ///< the signature when Done
    std::string cause;      ///< the module's or p11-kit's own words ("CKR_PIN_INCORRECT"); never the PIN
    unsigned long rv = 0;   ///< the module's return value (CK_RV) when it refused
};

/// Signs data with the private key uri names: the token hashes data and pads
/// the digest (CKM_SHA1_RSA_PKCS or CKM_SHA256_RSA_PKCS), so the signature is
/// the one the same key makes in process. One login per token, then sessions
/// from a pool that grows to the requests in flight. Any thread.
TokenOutcome tokenSign(const std::string& uri, const PinReader& pin, DigestAlgorithm algorithm, std::string_view data);

/// The certificate stored beside uri's key (same CKA_ID, else same label).
struct TokenCertificate {
    TokenStatus status = TokenStatus::Failed;
    std::string cause;
    std::optional<CertificateReport> certificate;  ///< set when Done
    std::string certificateDigest;                 ///< SHA-256 of its DER bytes
    bool keyMatches = false;                       ///< the certificate's modulus is the key's
};

/// Reads the certificate of uri's key and checks that it belongs to the key. Any thread.
TokenCertificate tokenCertificate(const std::string& uri, const PinReader& pin);

/// uri written back by p11-kit without its PIN attributes (for log lines); no
/// value when it is not a PKCS#11 URI.
std::optional<std::string> tokenURIForDisplay(const std::string& uri);

/// The session pool of uri's token, for tests and diagnostics.
struct TokenSessions {
    std::size_t open = 0;     ///< sessions open (lent out or idle)
    std::size_t idle = 0;     ///< sessions waiting in the pool
    unsigned logins = 0;      ///< C_Login calls that succeeded
    unsigned loginTries = 0;  ///< C_Login calls made
};
/// Zeros when uri's token has no pool (yet, or in this process since fork()).
TokenSessions tokenSessions(const std::string& uri);
/// Closes every session of uri's token behind the pool's back, as a token pulled
/// out and put back does. False when the token has no pool.
bool tokenDropSessionsForTesting(const std::string& uri);

/// The status of a C_Login, C_SignInit or C_Sign return value (CK_RV): the
/// module's codes translated in one place.
TokenStatus classifyTokenReturn(unsigned long rv);
/// The name of a PKCS#11 return value (CKR_PIN_INCORRECT, ...), or "CK_RV 0x..." for one without.
std::string tokenReturnName(unsigned long rv);

}  // namespace orvalis::detail
