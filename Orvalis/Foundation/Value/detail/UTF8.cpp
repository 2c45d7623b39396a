#include <Orvalis/Foundation/Value/detail/UTF8.h>

#include <rapidjson/encodings.h>
#include <rapidjson/memorystream.h>

namespace orvalis::detail {
namespace {

struct Discard {
    void Put(char) {}
};

// Length of the well-formed sequence at the start of bytes, or 0.
std::size_t validSequenceAt(std::string_view bytes) {
    rapidjson::MemoryStream in(bytes.data(), bytes.size());
    Discard out;
    if (!rapidjson::UTF8<>::Validate(in, out)) return 0;
    return in.Tell();
}

}  // namespace

bool isValidUTF8(std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        std::size_t n = validSequenceAt(bytes);
        if (n == 0) return false;
        bytes.remove_prefix(n);
    }
    return true;
}

std::string validUTF8Text(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t n = validSequenceAt(bytes);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            n = 1;
        } else {
            out.append(bytes.substr(0, n));
        }
        bytes.remove_prefix(n);
    }
    return out;
}

}  // namespace orvalis::detail
