// Compiled, not run: with DANGLING=n one way of keeping a view into a
// temporary Value, which must not compile; without it the safe forms, which must.
#include <Orvalis/Foundation/Value/Value.h>

#include <optional>
#include <string_view>
#include <type_traits>

using orvalis::Dictionary;
using orvalis::Value;

std::size_t read(const Dictionary& answer) {
#if DANGLING == 1
    auto v = answer.objectForKey("pairingTransactionId").stringValue();
    return v ? v->size() : 0;
#elif DANGLING == 2
    std::string_view v = answer.objectForKey("pairingTransactionId").asString();
    return v.size();
#elif DANGLING == 3
    std::string_view v = Dictionary(answer)["pairingTransactionId"].asString();
    return v.size();
#elif DANGLING == 4
    std::optional<std::string_view> v = Value(answer)["pairingTransactionId"].stringValue();
    return v ? v->size() : 0;
#else
    static_assert(std::is_same_v<decltype(answer["k"]), const Value&>);
    static_assert(std::is_same_v<decltype(Dictionary()["k"]), Value>);
    static_assert(std::is_same_v<decltype(Value()["k"]), Value>);
    const Value kept = answer.objectForKey("pairingTransactionId");
    std::optional<std::string_view> a = answer["pairingTransactionId"].stringValue();
    std::optional<std::string_view> b = kept.stringValue();
    return (a ? a->size() : 0) + (b ? b->size() : 0) + answer["list"][0].asString().size();
#endif
}
