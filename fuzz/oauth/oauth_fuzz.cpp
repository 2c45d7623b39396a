// Percent-encoding and the signature base string on arbitrary parameter
// maps. Input: a flags byte (bit 0 POST, bit 1 RSA-SHA256, bit 2 body
// present, bit 3 consumer key present), then NUL-separated fields: host,
// path, consumer key, body, then parameter names and values alternating.
// The key file does not exist, so no signature is made: what is checked is
// everything around it.
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace orvalis;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Only unreserved characters and "%XX" with upper-case digits.
bool isEncoded(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size() || !isUpperHex(s[i + 1]) || !isUpperHex(s[i + 2])) return false;
            i += 2;
        } else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~')) {
            return false;
        }
    }
    return true;
}

std::string doublePercent(std::string_view s) {
    std::string out;
    for (char c : s) out += c == '%' ? std::string_view("%25") : std::string_view(&c, 1);
    return out;
}

void checkEncoding(std::string_view text) {
    const std::string once = ZRBOAuthProvider::encodeString(text);
    check(isEncoded(once));
    check(ZRBOAuthProvider::encodeString(once) == once);
    check(ZRBOAuthProvider::keyEncodeString(text) == doublePercent(once));
}

bool hasLineBreakOrControl(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setLogHandler({});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t flags = data[0];
    std::vector<std::string> fields;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    while (true) {
        const auto nul = rest.find('\0');
        fields.emplace_back(rest.substr(0, nul));
        if (nul == std::string_view::npos) break;
        rest.remove_prefix(nul + 1);
    }
    fields.resize(std::max<std::size_t>(fields.size(), 4));
    for (const auto& f : fields) checkEncoding(f);

    Dictionary params;
    for (std::size_t i = 4; i + 1 < fields.size(); i += 2) params.set(fields[i], Value(fields[i + 1]));

    const auto method = (flags & 1) ? HTTPMethodTypePOST : HTTPMethodTypeGET;
    const auto type = (flags & 2) ? OAuthSignatureTypeRSASHA256 : OAuthSignatureTypeRSASHA1;
    const std::optional<std::string> body = (flags & 4) ? std::optional(fields[3]) : std::nullopt;
    const std::optional<std::string> consumer = (flags & 8) ? std::optional(fields[2]) : std::nullopt;
    const auto signer = ZRBOAuthProvider::initWith(method, OAuthURLSchemeTypeHTTPS, fields[0], fields[1],
                                                   params.empty() ? std::nullopt : std::optional(params), consumer,
                                                   std::string("no-such-key-file"), std::string("pw"), type, body);

    // Base string: method, encoded URL, encoded parameters; "&" only between them.
    const auto& base = signer.oAuthSignatureBaseString();
    check(base.has_value());
    const std::string prefix = std::string(method == HTTPMethodTypePOST ? "POST" : "GET") + "&" +
                               ZRBOAuthProvider::encodeString(signer.completeServiceURL()) + "&";
    check(base->compare(0, prefix.size(), prefix) == 0);
    check(isEncoded(std::string_view(*base).substr(prefix.size())));
    check(signer.oAuthHeaders().contains("oauth_body_hash") == body.has_value());

    // Nothing the caller passes can break the header or the URL apart.
    const std::string header = signer.oAuthHeader();
    check(header.rfind("OAuth oauth_consumer_key=\"", 0) == 0);
    check(!hasLineBreakOrControl(header));
    check(signer.oAuthHeader() == header);
    const URLRequest request =
        ZRBOAuthProvider().GETURLRequest(OAuthURLSchemeTypeHTTPS, fields[0], fields[1], params, consumer,
                                         std::string("no-such-key-file"), std::string("pw"), type);
    for (const auto& [name, value] : request.allHTTPHeaderFields()) check(!hasLineBreakOrControl(value));
    // Names go into the URL as written (the services use plain names); values
    // are always encoded.
    bool plainNames = true;
    for (const auto& entry : params) {
        for (char c : entry.key()) plainNames &= (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    }
    const std::string& url = request.URL();
    const auto query = url.find('?', signer.completeServiceURL().size());
    if (plainNames && query != std::string::npos) {
        for (char c : url.substr(query + 1)) check(c != ' ' && c != '#' && !hasLineBreakOrControl(std::string(1, c)));
    }
    return 0;
}
