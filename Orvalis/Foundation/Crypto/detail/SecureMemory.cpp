#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <openssl/crypto.h>

namespace orvalis::detail {

// OpenSSL's cleanse is written so that the stores survive dead-store
// elimination, which a plain memset before free does not.
void secureWipe(void* data, std::size_t size) noexcept {
    if (data == nullptr || size == 0) return;
    OPENSSL_cleanse(data, size);
}

void secureWipe(std::string& secret) noexcept {
    secureWipe(secret.data(), secret.capacity());
    secret.clear();
}

void secureWipe(std::optional<std::string>& secret) noexcept {
    if (!secret) return;
    secureWipe(*secret);
    secret.reset();
}

}  // namespace orvalis::detail
