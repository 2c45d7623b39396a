#include <Orvalis/Foundation/Error.h>

#include <ostream>

namespace orvalis {

Error::Error(std::string domain, std::int64_t code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

Error Error::withDescription(std::string domain, std::int64_t code, std::string_view description) {
    return Error(std::move(domain), code, Dictionary{{NSLocalizedDescriptionKey, Value(description)}});
}

std::string Error::localizedDescription() const {
    const Value* v = userInfo_.find(NSLocalizedDescriptionKey);
    if (!v || v->isNull()) return {};
    return v->description();
}

std::string Error::description() const {
    return domain_ + " " + std::to_string(code_) + ": " + localizedDescription();
}

std::ostream& operator<<(std::ostream& out, const Error& error) { return out << error.description(); }

}  // namespace orvalis
