// Checked reading, lookup and printing of Values, on top of the accessors in
// Value.cpp.
#include <Orvalis/Foundation/Value/Value.h>

#include <cmath>
#include <ostream>

namespace orvalis {
namespace {

// What absent entries read as: one shared, never-changing null.
const Value& nullValue() noexcept {
    static const Value null;
    return null;
}

// 2^63: the first double above the int64 range (INT64_MAX itself has no double).
constexpr double kTwoTo63 = 9223372036854775808.0;

}  // namespace

std::optional<bool> Value::boolValue() const noexcept {
    if (!isBool()) return std::nullopt;
    return asBool();
}

std::optional<std::int64_t> Value::integerValue() const noexcept {
    if (isInteger()) return asInteger();
    if (!isDouble()) return std::nullopt;
    const double d = asDouble();
    // Only a double that names an integer exactly; NaN fails every comparison.
    if (!(d >= -kTwoTo63 && d < kTwoTo63) || std::trunc(d) != d) return std::nullopt;
    return static_cast<std::int64_t>(d);
}

std::optional<double> Value::doubleValue() const noexcept {
    if (!isNumber()) return std::nullopt;
    return asDouble();
}

const Value& Value::operator[](std::string_view key) const& noexcept {
    if (!isDictionary()) return nullValue();
    // The handle is dropped on return; this Value keeps the container alive.
    const Value* found = asDictionary().find(key);
    return found ? *found : nullValue();
}

Value Value::operator[](std::string_view key) const&& noexcept { return static_cast<const Value&>(*this)[key]; }

const Value& Value::operator[](std::size_t index) const& noexcept {
    if (!isArray()) return nullValue();
    const Array array = asArray();
    return index < array.size() ? array[index] : nullValue();
}

Value Value::operator[](std::size_t index) const&& noexcept { return static_cast<const Value&>(*this)[index]; }

const Value& Dictionary::operator[](std::string_view key) const& noexcept {
    const Value* found = find(key);
    return found ? *found : nullValue();
}

Value Dictionary::operator[](std::string_view key) const&& noexcept {
    return static_cast<const Dictionary&>(*this)[key];
}

std::ostream& operator<<(std::ostream& out, const Value& value) { return out << value.description(); }
std::ostream& operator<<(std::ostream& out, const Array& array) { return out << array.description(); }
std::ostream& operator<<(std::ostream& out, const Dictionary& dictionary) { return out << dictionary.description(); }

}  // namespace orvalis
