// Reading answers safely: lookups that never fail, checked scalar reads at
// their boundaries, entry bindings, printing, and text setters.
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

using namespace orvalis;

TEST(CheckedAccessors, GiveAValueOnlyWhenItCanBeReadAsAsked) {
    using Scalar = std::tuple<const char*, Value, std::optional<bool>, std::optional<std::int64_t>,
        std::optional<double>, std::optional<std::string>>;
    // clang-format off
    for (const auto& [name, value, asBool, asInteger, asDouble, asText] : {
        Scalar{"Int64Max", Value(INT64_MAX), {}, INT64_MAX, 9223372036854775808.0, {}},
        Scalar{"Int64Min", Value(INT64_MIN), {}, INT64_MIN, -9223372036854775808.0, {}},
        // An infinity fails the same range check as 2^63.
        Scalar{"DoubleAtTwoTo63IsOutOfRange", Value(9223372036854775808.0), {}, {}, 9223372036854775808.0, {}},
        Scalar{"DoubleAtMinusTwoTo63", Value(-9223372036854775808.0), {}, INT64_MIN, -9223372036854775808.0, {}},
        Scalar{"DoubleWithFraction", Value(2.5), {}, {}, 2.5, {}},
        Scalar{"IntegralDouble", Value(-42.0), {}, -42, -42.0, {}},
        Scalar{"NegativeZero", Value(-0.0), {}, 0, -0.0, {}},
        Scalar{"NaN", Value(std::nan("")), {}, {}, std::nan(""), {}},
        Scalar{"TrueIsNoNumber", Value(true), true, {}, {}, {}},
        Scalar{"ZeroIsNoBool", Value(0), {}, 0, 0.0, {}},
        Scalar{"NumericTextIsText", Value("42"), {}, {}, {}, "42"},
        Scalar{"EmptyText", Value(""), {}, {}, {}, ""},
        Scalar{"Null", Value(), {}, {}, {}, {}}}) {
        // clang-format on
        SCOPED_TRACE(name);
        EXPECT_EQ(value.boolValue(), asBool);
        EXPECT_EQ(value.integerValue(), asInteger);
        // Bit patterns, so that NaN matches NaN and -0.0 differs from 0.0.
        auto bits = [](std::optional<double> d) {
            return d ? std::optional(std::bit_cast<std::uint64_t>(*d)) : std::nullopt;
        };
        EXPECT_EQ(bits(value.doubleValue()), bits(asDouble));
        std::optional<std::string_view> text = value.stringValue();
        EXPECT_EQ(text ? std::optional<std::string>(*text) : std::nullopt, asText);
    }
}

TEST(Lookup, AbsentKeysIndexesAndKindsReadAsNullAndTemporariesGiveValuesThatOwnTheirText) {
    Dictionary answer{{"card", Dictionary{{"number", "4111"}}}, {"list", Array{1, "two"}}, {"n", 7}};
    EXPECT_EQ(answer["card"]["number"].stringValue(), "4111");
    EXPECT_EQ(answer["list"][1].stringValue(), "two");
    for (const Value* v : {&answer["absent"], &answer["card"]["absent"], &answer["list"][2], &answer["n"]["x"],
             &answer["n"][0], &answer["card"][0], &answer["list"]["0"]}) {
        EXPECT_TRUE(v->isNull()) << v->description();
    }
    // On a temporary, a value that owns its text: a reference into the freed dictionary would be a use after free.
    auto&& kept = Dictionary{{"id", "short"}, {"long", std::string(100, 'x')}}["id"];
    auto&& nested = Value(Dictionary{{"a", Array{"inline"}}})["a"][0];
    EXPECT_EQ(std::tuple(kept.description(), nested.description()), std::tuple("short", "inline"));
}

TEST(Bindings, VisitEntriesInInsertionOrderAndWriteThrough) {
    Dictionary d{{"z", 1}, {"a", 2}, {"m", 3}};
    std::int64_t visited = 0;  // the mutable walk's order shows in the values it writes
    for (auto& [key, value] : d) value = value.asInteger() * 10 + visited++;
    std::string seen;
    for (const auto& [key, value] : std::as_const(d)) seen += std::string(key) + "=" + value.description() + ";";
    EXPECT_EQ(seen, "z=10;a=21;m=32;");
}

TEST(TextSetters, TakeViewsCStringsAndNullAsUnset) {
    ZRBPaymentDataRequest r;
    r.setHost(std::string_view("h.example:8443").substr(0, 9));  // a view that is not NUL-terminated
    r.setCartId(std::string("cart"));
    r.setCheckoutId("chk");
    r.setTransactionId("tx");
    EXPECT_EQ(std::tuple(r.host(), r.cartId(), r.checkoutId(), r.transactionId()),
        std::tuple("h.example", "cart", "chk", "tx"));
    r.setCheckoutId(nullptr);
    r.setTransactionId({});
    r.setCartId(std::nullopt);
    EXPECT_FALSE(r.checkoutId() || r.transactionId() || r.cartId());
}
