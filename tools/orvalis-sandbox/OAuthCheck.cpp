#include "OAuthCheck.h"

#include <Orvalis/Foundation/detail/UTF8.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>

namespace orvalis::sandbox {
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

}  // namespace orvalis::sandbox
