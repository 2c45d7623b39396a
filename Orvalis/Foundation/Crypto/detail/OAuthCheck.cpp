#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>

#include <Orvalis/Foundation/Value/detail/UTF8.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdint>

namespace orvalis::detail {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool copiedAsIs(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (text.size() - i < 3) return std::nullopt;
        int hi = hexValue(text[i + 1]);
        int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    if (!detail::isValidUTF8(out)) return std::nullopt;
    return out;
}

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (copiedAsIs(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::optional<std::string> encodeString(std::string_view text) {
    auto decoded = percentDecode(text);
    if (!decoded) return std::nullopt;
    std::string kept;
    kept.reserve(decoded->size());
    for (char c : *decoded) {
        if (c != '[' && c != ']') kept += c;
    }
    return percentEncode(kept);
}

std::optional<std::map<std::string, std::string>> parseAuthorizationHeader(std::string_view header) {
    constexpr std::string_view kPrefix = "OAuth ";
    if (header.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    std::string_view rest = header.substr(kPrefix.size());
    std::map<std::string, std::string> out;
    while (!rest.empty()) {
        std::size_t eq = rest.find("=\"");
        if (eq == std::string_view::npos || eq == 0) return std::nullopt;
        std::string name(rest.substr(0, eq));
        std::size_t close = rest.find('"', eq + 2);
        if (close == std::string_view::npos) return std::nullopt;
        if (!out.emplace(std::move(name), std::string(rest.substr(eq + 2, close - eq - 2))).second) {
            return std::nullopt;  // a repeated parameter is ambiguous
        }
        rest = rest.substr(close + 1);
        if (rest.empty()) break;
        if (rest.front() != ',') return std::nullopt;
        rest.remove_prefix(1);
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> splitQuery(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> out;
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        std::size_t eq = pair.find('=');
        if (!pair.empty()) {
            out.emplace_back(std::string(pair.substr(0, eq)),
                             eq == std::string_view::npos ? std::string() : std::string(pair.substr(eq + 1)));
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return out;
}

std::optional<std::string> signatureBaseString(std::string_view method, std::string_view url,
                                               const std::map<std::string, std::string>& params) {
    // std::map orders names by plain byte comparison, which is the order signed.
    std::string joined;
    for (const auto& [name, value] : params) {
        auto once = encodeString(value);
        if (!once) return std::nullopt;
        std::string twice;
        for (char c : *once) {
            if (c == '%') {
                twice += "%25";
            } else {
                twice += c;
            }
        }
        joined += name;
        joined += '=';
        joined += twice;
        joined += '&';
    }
    if (!joined.empty()) joined.pop_back();
    // The URL as received: its escapes are not decoded, their "%" is encoded again.
    const std::string encodedUrl = percentEncode(url);
    auto encodedParams = encodeString(joined);
    if (!encodedParams) return std::nullopt;
    std::string out(method);
    out += '&';
    out += encodedUrl;
    out += '&';
    out += *encodedParams;
    return out;
}

std::string base64Digest(std::string_view bytes, bool sha256) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &len, sha256 ? EVP_sha256() : EVP_sha1(), nullptr) != 1) {
        return std::string();
    }
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), md, static_cast<int>(len));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    std::size_t pad = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

std::vector<PublicKey> loadPublicKeys(const std::string& pem) {
    std::vector<PublicKey> keys;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    while (bio) {
        X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert) break;
        if (EVP_PKEY* k = X509_get_pubkey(cert.get())) keys.emplace_back(k);
    }
    ERR_clear_error();
    if (keys.empty()) {
        BioPtr again(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        if (again) {
            if (EVP_PKEY* k = PEM_read_bio_PUBKEY(again.get(), nullptr, nullptr, nullptr)) keys.emplace_back(k);
        }
        ERR_clear_error();
    }
    return keys;
}

namespace {

bool verifies(const std::vector<PublicKey>& keys, bool sha256, const std::string& signature, const std::string& base) {
    for (const PublicKey& key : keys) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        if (ctx == nullptr) break;
        const bool good =
            EVP_DigestVerifyInit(ctx, nullptr, sha256 ? EVP_sha256() : EVP_sha1(), nullptr, key.get()) == 1 &&
            EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                             reinterpret_cast<const unsigned char*>(base.data()), base.size()) == 1;
        EVP_MD_CTX_free(ctx);
        ERR_clear_error();
        if (good) return true;
    }
    return false;
}

std::optional<std::string> check(OAuthCheck& c, std::string_view method, std::string_view url,
                                 std::string_view authorization, std::string_view body,
                                 const std::vector<PublicKey>& keys, const SignatureCheckOptions& options) {
    if (authorization.empty()) return "no Authorization header";
    auto oauth = parseAuthorizationHeader(authorization);
    if (!oauth) return "malformed Authorization header";
    c.oauth = *oauth;
    for (const char* k : {"oauth_consumer_key", "oauth_nonce", "oauth_signature", "oauth_signature_method",
                          "oauth_timestamp", "oauth_version"}) {
        if (oauth->find(k) == oauth->end()) return std::string("no ") + k;
    }
    if ((*oauth)["oauth_version"] != "1.0") return "oauth_version is not 1.0";
    const std::string& signatureMethod = (*oauth)["oauth_signature_method"];
    if (signatureMethod != "RSA-SHA1" && signatureMethod != "RSA-SHA256") {
        return "unsupported signature method " + signatureMethod;
    }
    const bool sha256 = signatureMethod == "RSA-SHA256";
    if (options.consumerKey && percentDecode((*oauth)["oauth_consumer_key"]) != options.consumerKey) {
        return "unknown consumer key";
    }

    const std::string& ts = (*oauth)["oauth_timestamp"];
    char* end = nullptr;
    long long when = std::strtoll(ts.c_str(), &end, 10);
    if (ts.empty() || *end != '\0') return "malformed oauth_timestamp";
    long long now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    if (std::llabs(now - when) > options.maxClockSkew.count()) return "oauth_timestamp outside the accepted window";

    auto hash = oauth->find("oauth_body_hash");
    if (hash != oauth->end()) {
        if (hash->second != base64Digest(body, sha256)) return "body hash mismatch";
    } else if (!body.empty()) {
        return "body without oauth_body_hash";
    }

    // The signed parameters: the header's, then the query's replacing same names.
    std::map<std::string, std::string> params;
    for (const auto& [k, v] : *oauth) {
        if (k != "oauth_signature") params[k] = v;
    }
    for (const auto& [k, v] : c.query) params[k] = v;
    auto base = signatureBaseString(method, url, params);
    if (!base) return "parameters that cannot be encoded";
    c.baseString = *base;
    if ((*oauth)["oauth_signature"].empty()) return "no signature";
    auto sigText = percentDecode((*oauth)["oauth_signature"]);
    auto sig = sigText ? base64Decode(*sigText) : std::nullopt;
    if (!sig) return "oauth_signature is not Base64";
    if (!verifies(keys, sha256, *sig, *base)) return "signature does not verify";
    return std::nullopt;
}

}  // namespace

OAuthCheck checkOAuthRequest(std::string_view method, std::string_view url, std::string_view query,
                             std::string_view authorization, std::string_view body,
                             const std::vector<PublicKey>& keys, const SignatureCheckOptions& options) {
    OAuthCheck c;
    c.query = splitQuery(query);
    c.refusal = check(c, method, url, authorization, body, keys, options);
    return c;
}

}  // namespace orvalis::detail
