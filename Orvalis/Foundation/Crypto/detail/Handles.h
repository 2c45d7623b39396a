#pragma once

// Internal to the library: not installed. One RAII owner for every OpenSSL
// or libcurl handle the library holds: std::unique_ptr with the handle's own
// free function (detail::Deleter<curl_easy_cleanup> and so on).
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>

namespace orvalis::detail {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};

using PKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using PKCS12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;

}  // namespace orvalis::detail
