#include <Orvalis/Foundation/Crypto/detail/CryptoContext.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>

namespace orvalis::detail {

ossl_lib_ctx_st* cryptoLibraryContext() noexcept {
    // Merchants' key files often use RC2/3DES, which OpenSSL 3 only offers
    // through the legacy provider. Loading it into a context of our own leaves
    // the host's global OpenSSL configuration alone. The context lives until
    // exit: keys imported through it must stay usable as long as they exist.
    static OSSL_LIB_CTX* const ctx = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        if (c == nullptr) return c;
        // Without the default provider nothing works; without legacy only old files fail.
        if (OSSL_PROVIDER_load(c, "default") == nullptr) {
            OSSL_LIB_CTX_free(c);
            c = nullptr;
        } else {
            OSSL_PROVIDER_load(c, "legacy");
        }
        ERR_clear_error();
        return c;
    }();
    return ctx;
}

void discardCryptoErrors() noexcept { ERR_clear_error(); }

}  // namespace orvalis::detail
