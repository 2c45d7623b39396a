#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvalis {

class ZRBBaseServiceRequest;

namespace detail {

/// One field reachable by name from a Dictionary: how to read it as a Value
/// and how to store a Value into it.
struct RequestField {
    std::string_view name;
    Value (*get)(const ZRBBaseServiceRequest& request);
    void (*set)(ZRBBaseServiceRequest& request, const Value& value);
};

template <class T>
struct MemberTraits;
template <class C, class F>
struct MemberTraits<F C::*> {
    using Class = C;
    using Field = F;
};

/// Binds a data member to its field name. String fields take strings (anything
/// else, null included, leaves them unset); number fields take numbers and
/// boolean fields booleans (anything else leaves them unchanged).
template <auto Member>
constexpr RequestField field(std::string_view name) {
    using Traits = MemberTraits<decltype(Member)>;
    using C = typename Traits::Class;
    using F = typename Traits::Field;
    RequestField f{name, nullptr, nullptr};
    f.get = [](const ZRBBaseServiceRequest& r) -> Value {
        const F& v = static_cast<const C&>(r).*Member;
        if constexpr (std::is_same_v<F, std::optional<std::string>>) {
            return v ? Value(*v) : Value();
        } else {
            return Value(v);
        }
    };
    f.set = [](ZRBBaseServiceRequest& r, const Value& value) {
        F& v = static_cast<C&>(r).*Member;
        if constexpr (std::is_same_v<F, std::optional<std::string>>) {
            if (value.isString()) {
                v = std::string(value.asString());
            } else {
                v.reset();
            }
        } else if constexpr (std::is_same_v<F, bool>) {
            if (value.isBool()) v = value.asBool();
        } else {
            static_assert(std::is_same_v<F, double>, "request fields are strings, doubles or booleans");
            if (value.isNumber()) v = value.asDouble();
        }
    };
    return f;
}

/// What the text setters take besides std::optional<std::string>: a
/// std::string, a std::string_view or a C string.
template <class T>
concept TextLike = std::is_convertible_v<T, std::string_view>;

/// value as a field's text; a null C string leaves the field unset.
template <TextLike T>
std::optional<std::string> optionalText(T&& value) {
    if constexpr (std::is_same_v<std::remove_cvref_t<T>, std::string>) {
        return std::string(std::forward<T>(value));
    } else if constexpr (std::is_convertible_v<T, const char*>) {
        const char* text = value;
        if (text == nullptr) return std::nullopt;
        return std::string(text);
    } else {
        return std::string(std::string_view(value));
    }
}

}  // namespace detail

/// Base of the six operation requests: the server's host, the OAuth consumer
/// key and the merchant's PKCS#12 key file (name without extension, password).
/// Plain data, copyable; not synchronised. Text setters take an optional
/// string (std::nullopt unsets), a std::string, std::string_view or C string
/// (nullptr unsets).
class ORVALIS_EXPORT ZRBBaseServiceRequest {
public:
    /// A request with every field unset.
    ZRBBaseServiceRequest() = default;
    /**@{*/
    /// Requests are plain values: a copy or move carries every field along.
    ZRBBaseServiceRequest(const ZRBBaseServiceRequest&) = default;
    ZRBBaseServiceRequest& operator=(const ZRBBaseServiceRequest&) = default;
    ZRBBaseServiceRequest(ZRBBaseServiceRequest&&) = default;
    ZRBBaseServiceRequest& operator=(ZRBBaseServiceRequest&&) = default;
    /**@}*/
    /// Wipes the password's bytes before they are freed.
    virtual ~ZRBBaseServiceRequest();

    /**@{*/
    /// Name of the merchant's key file among the application's resources, without ".p12";
    /// unset, no signature can be made.
    const std::optional<std::string>& merechantKeyFileName() const noexcept { return merechantKeyFileName_; }
    void setMerechantKeyFileName(std::optional<std::string> value) { merechantKeyFileName_ = std::move(value); }
    void setMerechantKeyFileName(detail::TextLike auto&& value) {
        merechantKeyFileName_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// Password of that key file; unset, no signature can be made.
    const std::optional<std::string>& merechantKeyFilePassword() const noexcept { return merechantKeyFilePassword_; }
    void setMerechantKeyFilePassword(std::optional<std::string> value);
    void setMerechantKeyFilePassword(detail::TextLike auto&& value) {
        setMerechantKeyFilePassword(detail::optionalText(std::forward<decltype(value)>(value)));
    }
    /**@}*/
    /**@{*/
    /// Where the merchant key comes from (a file path, bytes in memory, a host
    /// callback, or a resource); unset, the resource merechantKeyFileName names.
    /// Unlocked with merechantKeyFilePassword either way.
    const std::optional<KeySource>& merchantKeySource() const noexcept { return merchantKeySource_; }
    void setMerchantKeySource(std::optional<KeySource> source) { merchantKeySource_ = std::move(source); }
    /**@}*/
    /**@{*/
    /// The merchant's OAuth consumer key; unset, "oauth_consumer_key" is sent empty.
    const std::optional<std::string>& consumerKey() const noexcept { return consumerKey_; }
    void setConsumerKey(std::optional<std::string> value) { consumerKey_ = std::move(value); }
    void setConsumerKey(detail::TextLike auto&& value) {
        consumerKey_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The server's host: no scheme, no trailing "/".
    const std::optional<std::string>& host() const noexcept { return host_; }
    void setHost(std::optional<std::string> value) { host_ = std::move(value); }
    void setHost(detail::TextLike auto&& value) { host_ = detail::optionalText(std::forward<decltype(value)>(value)); }
    /**@}*/

    /// The operation's URL path relative to the host; "" for the base class.
    virtual std::string getRelativepath() const;

    /// A new request of type Request whose fields named by its getArraysOfKeys
    /// are read from dictionary; never fails (missing entries leave fields unset).
    template <class Request = ZRBBaseServiceRequest>
    static Request initWithDictionary(const std::optional<Dictionary>& dictionary) {
        static_assert(std::is_base_of_v<ZRBBaseServiceRequest, Request>);
        Request request;
        request.fillFromDictionary(dictionary);
        return request;
    }

    /// Names of the fields covered by the dictionary mapping; empty for the base class.
    virtual std::vector<std::string> getArraysOfKeys() const;
    /// The request's fields as a new Dictionary; empty for the base class.
    virtual Dictionary dictionaryRepresentation() const;
    /// The query parameters (name -> string) as a new Dictionary; empty for the base class.
    virtual Dictionary getQueryParam() const;

    /// The entry under key, or no value when the key is absent, holds null, or
    /// there is no dictionary. The value is returned as it is.
    static std::optional<Value> objectOrNilForKey(std::string_view key,
                                                  const std::optional<Dictionary>& fromDictionary);

protected:
    /// The fields a subclass exposes by name; the base exposes none.
    virtual std::span<const detail::RequestField> fieldTable() const;
    /// The bound field called name, or nullptr.
    const detail::RequestField* fieldNamed(std::string_view name) const;
    /// Sets every field listed by getArraysOfKeys from dictionary.
    void fillFromDictionary(const std::optional<Dictionary>& dictionary);
    /// Entries for every listed field, in list order; unset strings as null.
    Dictionary dictionaryOfListedFields() const;

private:
    std::optional<std::string> merechantKeyFileName_;
    std::optional<std::string> merechantKeyFilePassword_;
    std::optional<std::string> consumerKey_;
    std::optional<std::string> host_;
    std::optional<KeySource> merchantKeySource_;
};

}  // namespace orvalis
