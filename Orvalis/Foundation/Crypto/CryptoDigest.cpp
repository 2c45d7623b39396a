#include <Orvalis/Foundation/Crypto/detail/CryptoContext.h>
#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <openssl/evp.h>

#include <algorithm>

namespace orvalis {
namespace {

// Fetched once: an implicit fetch on every call costs a method-store lookup.
const EVP_MD* fetchedDigest(DigestAlgorithm algorithm) noexcept {
    static EVP_MD* const sha1 = EVP_MD_fetch(detail::cryptoLibraryContext(), "SHA1", nullptr);
    static EVP_MD* const sha256 = EVP_MD_fetch(detail::cryptoLibraryContext(), "SHA256", nullptr);
    return algorithm == DigestAlgorithm::SHA1 ? sha1 : sha256;
}

}  // namespace

std::size_t digestLength(DigestAlgorithm algorithm) noexcept { return algorithm == DigestAlgorithm::SHA1 ? 20 : 32; }

std::optional<std::string> digest(DigestAlgorithm algorithm, std::string_view data) {
    const EVP_MD* md = fetchedDigest(algorithm);
    if (md == nullptr) {
        detail::discardCryptoErrors();
        return std::nullopt;
    }
    std::string out(digestLength(algorithm), '\0');
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), reinterpret_cast<unsigned char*>(out.data()), &len, md, nullptr) != 1 ||
        len != out.size()) {
        detail::discardCryptoErrors();
        return std::nullopt;
    }
    return out;
}

std::string base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    // EVP_EncodeBlock takes an int length: feed it whole groups of three bytes
    // at a time. It writes one line with padding and a NUL after it, which
    // lands on the next chunk's first byte or on the string's own terminator.
    constexpr std::size_t kChunk = 3 * (1u << 20);
    std::size_t in = 0, at = 0;
    while (in < bytes.size()) {
        std::size_t n = std::min(kChunk, bytes.size() - in);
        int w = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + at),
                                reinterpret_cast<const unsigned char*>(bytes.data() + in), static_cast<int>(n));
        in += n;
        at += static_cast<std::size_t>(w);
    }
    return out;
}

}  // namespace orvalis
