#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/RequestTarget.h>
#include <arpa/inet.h>

#include <cstdio>
#include <string>

namespace orvalis::detail {
namespace {

bool isAsciiAlnum(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }
bool isControl(char c) noexcept { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }
bool isBlank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The value as a log can show it: control and non-ASCII bytes as \xNN.
std::string printable(std::string_view value) {
    std::string out;
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

Error refusal(URLErrorCode code, std::string_view what, std::string_view value, std::string_view problem) {
    std::string text = "The request was not sent: the ";
    text += what;
    text += " \"";
    text += printable(value);
    text += "\" ";
    text += problem;
    text += '.';
    return Error(URLErrorDomain, code,
                 Dictionary{{NSLocalizedDescriptionKey, Value(text)}, {URLErrorRefusedValueKey, Value(value)}});
}

Error badHost(std::string_view host, std::string_view problem) {
    return refusal(URLErrorBadHost, "host", host, problem);
}

// Letters, digits, "-" and "_" in dot-separated labels of at most 63 characters;
// one trailing dot is allowed. A name whose last label is all digits is read as
// IPv4 by URL parsers, so it must then be a plain dotted quad.
std::optional<std::string> nameProblem(std::string_view name) {
    if (name.empty()) return "has no name before its port";
    for (char c : name) {
        if (!isAsciiAlnum(c) && c != '-' && c != '.' && c != '_') {
            return std::string("holds \"") + printable(std::string_view(&c, 1)) + "\", which a host name cannot hold";
        }
    }
    std::string_view labels = name;
    if (labels.size() > 1 && labels.back() == '.') labels.remove_suffix(1);
    if (labels.size() > 253) return "is longer than 253 characters";
    std::string_view last;
    while (true) {
        const size_t dot = labels.find('.');
        const std::string_view label = labels.substr(0, dot);
        if (label.empty()) return "has an empty label";
        if (label.size() > 63) return "has a label longer than 63 characters";
        if (label.front() == '-' || label.back() == '-') return "has a label that starts or ends with \"-\"";
        last = label;
        if (dot == std::string_view::npos) break;
        labels.remove_prefix(dot + 1);
    }
    bool numeric = true;
    for (char c : last) numeric = numeric && isDigit(c);
    if (numeric) {
        in_addr address{};
        if (inet_pton(AF_INET, std::string(name).c_str(), &address) != 1) return "is not a valid IPv4 address";
    }
    return std::nullopt;
}

}  // namespace

std::optional<Error> checkHost(std::string_view host) {
    if (host.empty()) return badHost(host, "is empty");
    for (char c : host) {
        if (isBlank(c)) return badHost(host, "holds white space");
        if (isControl(c)) return badHost(host, "holds a control character");
    }
    if (host.find("://") != std::string_view::npos) {
        return badHost(host, "holds a scheme: give the host alone, without \"https://\"");
    }
    if (host.find('@') != std::string_view::npos) return badHost(host, "holds user info (\"@\")");
    if (const size_t at = host.find_first_of("/?#\\"); at != std::string_view::npos) {
        switch (host[at]) {
            case '/':
                return badHost(host, "holds a path (\"/\")");
            case '?':
                return badHost(host, "holds a query (\"?\")");
            case '#':
                return badHost(host, "holds a fragment (\"#\")");
            default:
                return badHost(host, "holds a backslash");
        }
    }

    std::string_view port;
    bool hasPort = false;
    if (host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos) return badHost(host, "opens \"[\" without closing it");
        const std::string address(host.substr(1, close - 1));
        in6_addr parsed{};
        if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
            return badHost(host, "does not hold a valid IPv6 address between its brackets");
        }
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return badHost(host, "has text after its \"]\" that is not a port");
            hasPort = true;
            port = rest.substr(1);
        }
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string_view::npos && host.find(':', colon + 1) != std::string_view::npos) {
            return badHost(host, "holds more than one \":\" (an IPv6 address goes between \"[\" and \"]\")");
        }
        if (auto problem = nameProblem(host.substr(0, colon))) return badHost(host, *problem);
        if (colon != std::string_view::npos) {
            hasPort = true;
            port = host.substr(colon + 1);
        }
    }
    if (hasPort) {
        unsigned long value = 0;
        bool digits = !port.empty() && port.size() <= 5;
        for (char c : port) {
            digits = digits && isDigit(c);
            if (digits) value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!digits || value < 1 || value > 65535) return badHost(host, "has a port outside 1-65535");
    }
    return std::nullopt;
}

std::optional<Error> checkPathSegment(std::string_view id) {
    // What a path segment holds unescaped (RFC 3986 pchar without escapes). An
    // escape cannot be signed here: the base string decodes the URL before
    // encoding it, while an RFC 5849 server encodes the escape's "%" again.
    constexpr std::string_view kAllowed = "-._~!$&'()*+,;=:@";
    if (id.empty()) {
        return refusal(URLErrorBadPathSegment, "id", id,
                       "is empty or missing, which would send the request to the collection's path");
    }
    bool onlyDots = true;
    for (char c : id) {
        onlyDots = onlyDots && c == '.';
        if (isAsciiAlnum(c) || kAllowed.find(c) != std::string_view::npos) continue;
        const char* problem = nullptr;
        switch (c) {
            case '/':
                problem = "holds \"/\", which would split it into two path segments";
                break;
            case '?':
                problem = "holds \"?\", which would start the query";
                break;
            case '#':
                problem = "holds \"#\", which would start a fragment";
                break;
            case '%':
                problem = "holds \"%\": an escaped id could not be signed so that the server verifies it";
                break;
            default:
                problem = isBlank(c) ? "holds white space"
                          : isControl(c)
                              ? "holds a control character"
                              : "holds a character that a URL path cannot carry unescaped, and an escaped id "
                                "could not be signed so that the server verifies it";
        }
        return refusal(URLErrorBadPathSegment, "id", id, problem);
    }
    if (onlyDots) return refusal(URLErrorBadPathSegment, "id", id, "is a dot segment, which would move the request");
    return std::nullopt;
}

}  // namespace orvalis::detail
