#include <Orvalis/Foundation/Transport/URLRequest.h>

#include <algorithm>
#include <cctype>

namespace orvalis {
namespace {

bool sameField(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

URLRequest::URLRequest(std::string url, int cachePolicy, double timeoutInterval)
    : url_(std::move(url)), cachePolicy_(cachePolicy), timeout_(timeoutInterval) {}

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view field) const {
    for (const auto& [name, value] : headers_)
        if (sameField(name, field)) return value;
    return std::nullopt;
}

void URLRequest::setValue(std::optional<std::string> value, std::string_view field) {
    auto it = std::find_if(headers_.begin(), headers_.end(), [&](const auto& h) { return sameField(h.first, field); });
    if (!value) {
        if (it != headers_.end()) headers_.erase(it);
        return;
    }
    if (it != headers_.end())
        it->second = std::move(*value);
    else
        headers_.emplace_back(std::string(field), std::move(*value));
}

}  // namespace orvalis
