// The Value internals the decoders use (ValueAccess.h).
#include <Orvalis/Foundation/Value/detail/Storage.h>
#include <Orvalis/Foundation/Value/detail/ValueAccess.h>

#include <cstring>
#include <new>

namespace orvalis {

using detail::ArrayImpl;
using detail::DictImpl;
using detail::NumberRep;
using detail::StringRep;
using detail::kSharedString;

// ---- ValueAccess -----------------------------------------------------------

Value detail::ValueAccess::emptyContainer(Value::Kind kind) noexcept {
    Value v;
    v.kind_ = kind == Value::Kind::Array ? Value::Kind::Array : Value::Kind::Dictionary;
    v.setPtr(nullptr);
    return v;
}
bool detail::ValueAccess::isUnbornContainer(const Value& v) noexcept {
    return (v.kind_ == Value::Kind::Array || v.kind_ == Value::Kind::Dictionary) && v.ptr() == nullptr;
}
Value detail::ValueAccess::numberWithText(double nearest, std::string_view text) {
    charge(sizeof(NumberRep) + text.size());
    auto* rep = new (allocOrThrow(sizeof(NumberRep) + text.size())) NumberRep();
    rep->value = nearest;
    rep->size = text.size();
    std::memcpy(rep->data(), text.data(), text.size());
    Value v;
    v.kind_ = Value::Kind::Double;
    v.len_ = kSharedString;
    v.setPtr(rep);
    return v;
}
Dictionary detail::ValueAccess::dictionaryWithRoom(std::size_t entries) {
    if (entries <= 1) return Dictionary();
    if (entries > kMaxInlineEntries) {
        Dictionary d;
        d.reserve(entries);
        return d;
    }
    return Dictionary(newDict(static_cast<std::uint32_t>(entries)));
}
void detail::ValueAccess::appendEntry(Dictionary& d, Value key, Value value) {
    DictImpl* impl = d.impl_;
    if (impl->size == impl->cap) growDict(impl, impl->size + std::size_t{1});
    DictImpl::placeEntry(&impl->data[impl->size], std::move(key), std::move(value));
    ++impl->size;
    if (impl->isIndexed()) dictIndexAdd(impl->index(), impl->data, impl->size - 1);
}
std::string_view detail::ValueAccess::keptNumberText(const Value& v) noexcept {
    if (v.kind_ != Value::Kind::Double || v.len_ != kSharedString) return {};
    auto* rep = static_cast<NumberRep*>(v.ptr());
    return {rep->data(), rep->size};
}

}  // namespace orvalis
