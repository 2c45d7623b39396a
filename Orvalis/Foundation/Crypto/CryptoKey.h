#pragma once

#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/Export.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace orvalis {

/// Owns one private key (an OpenSSL EVP_PKEY). Move-only; a moved-from or
/// default-constructed handle holds no key and tests false.
class ORVALIS_EXPORT PrivateKey {
public:
    /// A handle that holds no key.
    PrivateKey() noexcept = default;
    /// Takes over one reference to key (may be null).
    explicit PrivateKey(evp_pkey_st* key) noexcept : key_(key) {}
    /// Takes over other's key; other is left empty.
    PrivateKey(PrivateKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
    /// Frees the key held, then takes over other's; other is left empty.
    PrivateKey& operator=(PrivateKey&& other) noexcept;
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;
    ~PrivateKey();

    /// True when the handle holds a key.
    explicit operator bool() const noexcept { return key_ != nullptr; }
    /// The underlying key, still owned by this handle.
    evp_pkey_st* get() const noexcept { return key_; }
    /// True for a plain RSA key (not RSA-PSS, EC or anything else).
    bool isRSA() const noexcept;
    /// A second handle to the same key (OpenSSL reference count), or an empty
    /// one without a key. The key is freed, and wiped, with its last handle.
    PrivateKey share() const noexcept;
    /// The key's block size in bytes (the RSA modulus length), or 0 without a key.
    std::size_t blockSize() const noexcept;

private:
    evp_pkey_st* key_ = nullptr;
};

/// The private key of the first identity (a key with its certificate) in a
/// DER PKCS#12 archive unlocked with password. Reads both the OpenSSL 3
/// default form and the legacy RC2/3DES form. An empty handle on any failure
/// (damaged file, wrong password, no key, a key without its certificate).
PrivateKey importPKCS12PrivateKey(std::string_view der, const std::string& password);

/// The RSASSA-PKCS1-v1_5 signature (the digest wrapped in its DigestInfo) of
/// an already computed digest of the given algorithm: blockSize() bytes. No
/// value without a key, for a key that is not plain RSA, for a digest of the
/// wrong length, or when signing fails.
std::optional<std::string> rawSignDigest(const PrivateKey& key, DigestAlgorithm algorithm,
                                         std::string_view digestBytes);

/// The public modulus of an RSA key as blockSize() big-endian bytes, or no value.
std::optional<std::string> rsaPublicModulus(const PrivateKey& key);

}  // namespace orvalis
