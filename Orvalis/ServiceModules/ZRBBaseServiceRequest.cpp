#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

namespace orvalis {

ZRBBaseServiceRequest::~ZRBBaseServiceRequest() { detail::secureWipe(merechantKeyFilePassword_); }

void ZRBBaseServiceRequest::setMerechantKeyFilePassword(std::optional<std::string> value) {
    // The old value's buffer would otherwise be freed, or handed to value and freed with it, unwiped.
    detail::secureWipe(merechantKeyFilePassword_);
    merechantKeyFilePassword_ = std::move(value);
    detail::secureWipe(value);
}

std::string ZRBBaseServiceRequest::getRelativepath() const { return std::string(); }

std::vector<std::string> ZRBBaseServiceRequest::getArraysOfKeys() const { return {}; }

Dictionary ZRBBaseServiceRequest::dictionaryRepresentation() const { return Dictionary(); }

Dictionary ZRBBaseServiceRequest::getQueryParam() const { return Dictionary(); }

std::optional<Value> ZRBBaseServiceRequest::objectOrNilForKey(std::string_view key,
                                                              const std::optional<Dictionary>& fromDictionary) {
    if (!fromDictionary) return std::nullopt;
    const Value* v = fromDictionary->find(key);
    if (v == nullptr || v->isNull()) return std::nullopt;
    return *v;
}

std::span<const detail::RequestField> ZRBBaseServiceRequest::fieldTable() const { return {}; }

const detail::RequestField* ZRBBaseServiceRequest::fieldNamed(std::string_view name) const {
    for (const detail::RequestField& f : fieldTable()) {
        if (f.name == name) return &f;
    }
    return nullptr;
}

void ZRBBaseServiceRequest::fillFromDictionary(const std::optional<Dictionary>& dictionary) {
    for (const std::string& key : getArraysOfKeys()) {
        const detail::RequestField* f = fieldNamed(key);
        if (f == nullptr) continue;  // a listed name without a field maps nowhere
        f->set(*this, objectOrNilForKey(key, dictionary).value_or(Value()));
    }
}

Dictionary ZRBBaseServiceRequest::dictionaryOfListedFields() const {
    Dictionary out;
    for (const std::string& key : getArraysOfKeys()) {
        const detail::RequestField* f = fieldNamed(key);
        out.set(key, f != nullptr ? f->get(*this) : Value());
    }
    return out;
}

}  // namespace orvalis
