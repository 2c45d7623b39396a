// JSON reading on arbitrary bytes. Whatever parses must be an Array or a
// Dictionary, must write back out (plain and pretty) unless it holds a
// non-finite number, and the written text must read back to an equal value.
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Value/Value.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using orvalis::JSONSerialization;
using orvalis::Value;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto value = JSONSerialization::JSONObjectWithData(bytes).value;
    if (!value) return 0;
    check(value->isArray() || value->isDictionary());
    // Containers come back mutable and independent of the input.
    check(*value == value->deepCopy());
    (void)value->description();

    for (const bool pretty : {false, true}) {
        std::string text;
        try {
            text = JSONSerialization::dataWithJSONObject(*value, pretty);
        } catch (const orvalis::JSONSerializationError&) {
            continue;  // a number that overflowed to infinity cannot be written
        }
        const auto again = JSONSerialization::JSONObjectWithData(text).value;
        check(again.has_value());
        check(*again == *value);
    }
    return 0;
}
