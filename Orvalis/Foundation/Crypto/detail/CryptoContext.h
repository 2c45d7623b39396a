#pragma once

// Internal: the OpenSSL library context that every crypto adapter uses.

struct ossl_lib_ctx_st;
struct x509_st;

#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>

namespace orvalis::detail {

/// A process-wide OpenSSL library context of the library's own, with the
/// default and legacy providers loaded; never the host's global one.
ossl_lib_ctx_st* cryptoLibraryContext() noexcept;

/// Drops whatever OpenSSL left on this thread's error queue after a failure,
/// so that it never leaks into the host's own error handling.
void discardCryptoErrors() noexcept;

/// What cert says about itself, the key type and size taken from its public key
/// (the same as the private key's for a key and its certificate).
CertificateReport certificateReport(x509_st* cert);

}  // namespace orvalis::detail
