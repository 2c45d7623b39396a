#include <Orvalis/Foundation/System/RedactingLogHandler.h>
#include <Orvalis/Foundation/System/detail/LogScope.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>

namespace orvalis {
namespace {

constexpr std::string_view kMask = "***";

bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// After a field name that ends at pos: skips a closing quote, blanks, one "="
// or ":" and blanks. Returns where the value starts, or npos when no value follows.
std::size_t valueStart(std::string_view s, std::size_t pos) {
    if (pos < s.size() && (s[pos] == '"' || s[pos] == '\'')) ++pos;
    while (pos < s.size() && s[pos] == ' ') ++pos;
    if (pos >= s.size() || (s[pos] != '=' && s[pos] != ':')) return std::string_view::npos;
    ++pos;
    while (pos < s.size() && s[pos] == ' ') ++pos;
    return pos < s.size() ? pos : std::string_view::npos;
}

// Where a quoted value that starts at from ends: the next quote that no
// backslash escapes ("a\"b" is one value), or npos.
std::size_t closingQuote(const std::string& s, std::size_t from, char quote) {
    for (std::size_t i = from; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;  // the escaped character, whatever it is
        } else if (s[i] == quote) {
            return i;
        }
    }
    return std::string::npos;
}

// The value of every field whose name contains needle (lower case) replaced
// by the mask: quoted values up to their closing quote, bare ones (when
// allowed) up to a separator, XML element content up to the next "<".
std::string maskFields(const std::string& s, std::string_view needle, bool bareValues) {
    const std::string low = lower(s);
    std::string out;
    out.reserve(s.size());
    std::size_t copied = 0;
    std::size_t from = 0;
    for (;;) {
        std::size_t at = low.find(needle, from);
        if (at == std::string::npos) break;
        std::size_t end = at + needle.size();
        while (end < s.size() && isNameChar(s[end])) ++end;
        from = end;
        std::size_t vs = std::string::npos;
        std::size_t ve = std::string::npos;
        std::size_t open = at > 0 ? s.rfind('<', at) : std::string::npos;
        if (end < s.size() && s[end] == '>' && open != std::string::npos && s.find('>', open) == end) {
            vs = end + 1;
            ve = s.find('<', vs);
        } else if (std::size_t v = valueStart(s, end); v != std::string::npos) {
            if (s[v] == '"' || s[v] == '\'') {
                vs = v + 1;
                ve = closingQuote(s, vs, s[v]);
            } else if (bareValues) {
                vs = v;
                ve = s.find_first_of(" ,;&\"'<>\t}]", vs);
            }
        }
        if (vs == std::string::npos) continue;
        if (ve == std::string::npos) ve = s.size();
        if (ve == vs && !(vs > 0 && (s[vs - 1] == '"' || s[vs - 1] == '\''))) continue;
        out.append(s, copied, vs - copied);
        out.append(kMask);
        copied = ve;
        from = ve;
    }
    out.append(s, copied, std::string::npos);
    return out;
}

// The same fields in percent-encoded form ("oauth_nonce%3D123%26..."), as a signature base
// string carries them: each value up to the next encoded or bare separator.
std::string maskEncodedFields(const std::string& s, std::string_view needle) {
    const std::string low = lower(s);
    std::string out;
    std::size_t copied = 0;
    for (std::size_t from = 0;;) {
        std::size_t at = low.find(needle, from);
        if (at == std::string::npos) break;
        std::size_t end = at + needle.size();
        while (end < s.size() && isNameChar(s[end])) ++end;
        from = end;
        if (low.compare(end, 3, "%3d") != 0) continue;
        const std::size_t vs = end + 3;
        std::size_t ve = std::min(low.find("%26", vs), s.find_first_of("& \t\"'", vs));
        if (ve == std::string::npos) ve = s.size();
        if (ve == vs) continue;
        out.append(s, copied, vs - copied);
        out.append(kMask);
        copied = from = ve;
    }
    out.append(s, copied, std::string::npos);
    return out;
}

bool isCardLength(std::size_t digits) { return digits >= 13 && digits <= 19; }

// Copies text, which holds digits digits, with all but its last four masked.
void appendMasked(std::string& out, std::string_view text, std::size_t digits) {
    std::size_t seen = 0;
    for (char c : text) {
        out += (isDigit(c) && seen++ < digits - 4) ? '*' : c;
    }
}

// 13 to 19 digits look like a card number, written in one run or in groups
// separated by single spaces or dashes ("4111 1111 1111 1111"); the last four stay.
void maskCardNumbers(std::string& s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        if (!isDigit(s[i])) {
            out += s[i++];
            continue;
        }
        std::size_t end = i;
        std::size_t digits = 0;
        while (true) {
            while (end < s.size() && isDigit(s[end])) ++end, ++digits;
            if (end + 1 < s.size() && (s[end] == ' ' || s[end] == '-') && isDigit(s[end + 1])) {
                ++end;
                continue;
            }
            break;
        }
        const std::string_view sequence = std::string_view(s).substr(i, end - i);
        if (isCardLength(digits)) {
            appendMasked(out, sequence, digits);
        } else {
            // Too many digits for one card: each run on its own may still be one.
            std::size_t at = 0;
            while (at < sequence.size()) {
                std::size_t runEnd = at;
                while (runEnd < sequence.size() && isDigit(sequence[runEnd])) ++runEnd;
                const std::size_t run = runEnd - at;
                if (isCardLength(run)) {
                    appendMasked(out, sequence.substr(at, run), run);
                } else {
                    out.append(sequence.substr(at, run));
                }
                if (runEnd < sequence.size()) out += sequence[runEnd];
                at = runEnd + 1;
            }
        }
        i = end;
    }
    s = std::move(out);
}

}  // namespace

std::string redactLogLine(std::string_view line, const std::vector<std::string>& secrets) {
    std::string s(line);
    for (const std::string& secret : secrets) {
        if (secret.empty()) continue;
        for (std::size_t at = 0; (at = s.find(secret, at)) != std::string::npos; at += kMask.size()) {
            s.replace(at, secret.size(), kMask);
        }
    }
    constexpr std::string_view kSignatureLine = "OAuth Signature: ";
    if (s.rfind(kSignatureLine, 0) == 0) s = std::string(kSignatureLine) + std::string(kMask);
    // Quoted OAuth values (the header), and the same values where the base string encodes them.
    s = maskFields(s, "oauth_", false);
    s = maskEncodedFields(s, "oauth_");
    s = maskEncodedFields(s, "password");
    // A signature in query form ("?oauth_signature=...&") is as good as the header's.
    s = maskFields(s, "oauth_signature", true);
    s = maskFields(s, "password", true);
    maskCardNumbers(s);
    return s;
}

std::string detail::redactedLine(std::string_view line) {
    for (std::string_view body : {std::string_view("Request : "), std::string_view("Response: ")}) {
        if (line.substr(0, body.size()) == body) {
            return std::string(body) + "(" + std::to_string(line.size() - body.size()) + " bytes, not shown)";
        }
    }
    return redactLogLine(line);
}

LogHandler redactingLogHandler(LogHandler next, std::vector<std::string> secrets) {
    if (!next) return LogHandler();
    auto shared = std::make_shared<const std::vector<std::string>>(std::move(secrets));
    return [next = std::move(next), shared](std::string_view line) { next(redactLogLine(line, *shared)); };
}

}  // namespace orvalis
