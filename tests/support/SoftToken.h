#pragma once

// SoftHSM2 tokens made at run time in a temporary folder (SOFTHSM2_CONF points at
// a generated configuration): the merchant's key imported with its certificate,
// so that token and in-process signatures can be compared, and keys generated in
// the token that can never be read out.
#include <TestPki.h>

#include <string>
#include <string_view>

namespace orvalis::testsupport {

struct SoftToken {
    static constexpr const char* kLabel = "orvalis shop";
    static constexpr const char* kPin = "2468;pin";
    TempDir dir;
    std::string module = ORVALIS_SOFTHSM2_MODULE;

    /// Objects: "merchant" (key and certificate), "twin" (two keys), "rsa-3072" and "rsa-4096" (the
    /// shared keys of those sizes), "generated" (made in the token, never extractable, no certificate),
    /// "no-sign" (may not sign); a second, empty token kLabel + " 2" whose PIN is never given right.
    SoftToken(EVP_PKEY* merchantKey, X509* merchantCert);
    /// pkcs11:token=<label>;object=<object>;type=private, with module-path unless systemModules.
    std::string uri(std::string_view object, bool systemModules = false, std::string_view label = kLabel) const;
    /// Calls the module's C_Finalize as another user of it in this process would.
    void finalizeAsAnotherUser() const;
};

}  // namespace orvalis::testsupport
