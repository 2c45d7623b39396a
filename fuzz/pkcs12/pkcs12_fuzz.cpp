// PKCS#12 import on arbitrary bytes (the archive of a merchant key file),
// unlocked with the password the seeds were made with. Whatever key comes
// out may only sign when it is plain RSA, and then gives blockSize() bytes (a
// tiny RSA modulus may legitimately be unable to sign at all).
#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/Crypto/CryptoKey.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view der(reinterpret_cast<const char*>(data), size);
    const orvalis::PrivateKey key = orvalis::importPKCS12PrivateKey(der, "fuzz");
    if (!key) return 0;
    const std::string digest(20, '\x5a');
    const auto signature = orvalis::rawSignDigest(key, orvalis::DigestAlgorithm::SHA1, digest);
    if (signature) {
        check(key.isRSA());
        check(signature->size() == key.blockSize());
    }
    return 0;
}
