#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Foundation/Value/detail/TextBuffer.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace orvalis;

namespace {

// A chain of `depth` nested containers: {"c":[{"c":[...]}]}.
Value chain(int depth) {
    Dictionary root, cur = root;
    for (int i = 0; i < depth; ++i, cur = cur["c"].asArray()[0].asDictionary()) cur.set("c", Array{Dictionary()});
    return root;
}

// Short runs are copied, long ones hand their block over; both must give exactly the requested bytes and
// leave the buffer reusable. A Value keeps up to 14 bytes inline and 15 or more in a shared buffer.
TEST(TextBuffer, TakesRangesOfEverySizeIntactAsStringsThatCopyAndMove) {
    detail::TextBuffer buf;
    for (std::size_t n : {0u, 1u, 13u, 14u, 15u, 16u, 1023u, 1024u, 5000u, 100000u}) {
        std::string text(n, 'a');
        for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 26);
        if (n) text[n - 1] = '\0';  // an embedded NUL is kept
        const std::string padded = "  " + text + "\n";
        for (std::size_t at = 0; at < padded.size(); at += 777) buf.append(std::string_view(padded).substr(at, 777));
        ASSERT_EQ(buf.view(), padded);
        Value v = buf.take(2, 2 + n), copy = v;  // the copy shares an adopted block
        EXPECT_EQ(buf.size(), 0u);
        v = Value();
        Value made{std::string_view(text)}, moved = std::move(made);
        EXPECT_EQ(std::tuple(copy.asString(), moved.asString()), std::tuple(text, text)) << n;
        EXPECT_TRUE(made.isNull());  // NOLINT(bugprone-use-after-move): moved-from is null
        buf.append("next");
        EXPECT_EQ(buf.view(), "next");
        buf.clear();
    }
    buf.append("x");
    EXPECT_EQ(buf.take(5, 9), Value(""));  // out-of-range bounds are clamped
}

TEST(Value, EqualityMatchesNumbersAcrossKindsAndContentsInAnyOrder) {
    EXPECT_EQ(Value(2), Value(2.0));
    const std::int64_t big = std::int64_t{1} << 62;  // beyond a double's 53 bits
    // clang-format off
    for (const auto& [a, b] : {std::pair{Value(2), Value(2.5)}, {Value(true), Value(1)}, {Value("1"), Value(1)},
                               {Value("ab"), Value("ac")}, {Value(big), Value(big + 1)}})
        EXPECT_NE(a, b);
    // clang-format on
    Dictionary da{{"x", 1}, {"y", Array{"a", Dictionary{{"z", nullptr}}}}};
    Dictionary db{{"y", Array{"a", Dictionary{{"z", nullptr}}}}, {"x", 1.0}};
    EXPECT_EQ(da, db);
    db.objectForKey("y").asArray()[1].asDictionary().set("z", 0);
    EXPECT_NE(da, db);
    EXPECT_NE((Dictionary{{"x", 1}}), da);
}

// Containers are handles: copies share one container, deepCopy shares nothing.
TEST(Containers, ShareEditsAndDeepCopiesShareNothing) {
    Dictionary a{{"n", Dictionary{{"k", 1}}}}, b = a;
    b.set("k", "v");  // a's too, as the last check of a shows
    Value held(a);
    held.asDictionary().set("k2", 2);
    Dictionary copy = a.deepCopy();
    copy.set("k3", 3);
    copy.objectForKey("n").asDictionary().set("k", 2);  // nested containers are copied too
    EXPECT_EQ(a, (Dictionary{{"n", Dictionary{{"k", 1}}}, {"k", "v"}, {"k2", 2}}));
    Array list{1, "two", 3.0}, alias = list;
    alias.push_back(Dictionary{});
    alias.erase(1);
    EXPECT_EQ(list, (Array{1, 3.0, Dictionary{}}));
    list.pop_back();
    EXPECT_EQ(alias, (Array{1, 3.0}));
}

// Around and far past the width where lookups switch from a scan to a
// table: every edit keeps lookups, order and equality right.
// Under the thread sanitizer each byte a removal moves is checked (minutes for the widest table): a tenth there.
#if defined(__SANITIZE_THREAD__)
constexpr int kWide = 3000;
#else
constexpr int kWide = 30000;
#endif

TEST(Dictionary, LookupsFollowEveryEditInInsertionOrderAtEveryWidth) {
    // keys, and room asked for up front (0: none)
    for (const auto& [n, reserved] :
        {std::pair{1, 0}, {16, 0}, {17, 0}, {28, 0}, {29, 0}, {40, 0}, {kWide, 0}, {1000, 1000}, {40, 5}}) {
        SCOPED_TRACE(std::to_string(n) + " keys, " + std::to_string(reserved) + " reserved");
        Dictionary d;
        if (reserved) d.reserve(static_cast<std::size_t>(reserved));
        auto key = [](int i) { return (i % 2 ? "a-rather-long-key-" : "k") + std::to_string(i); };
        for (int i = 0; i < n; ++i) d.set(key(i), i);
        for (int i = 0; i < n; i += 2) d.set(key(i), -i);  // replaced in place
        for (int i = 0; i < n; i += 3) EXPECT_TRUE(d.remove(key(i)));
        EXPECT_FALSE(d.remove(key(0)));
        d.append("last", "x");
        std::vector<std::string> order;
        for (const auto& e : d) order.emplace_back(e.key());
        std::size_t at = 0;
        for (int i = 0; i < n; ++i) {
            const Value* v = d.find(key(i));
            if (i % 3 == 0) {
                EXPECT_EQ(v, nullptr) << key(i);
                continue;
            }
            ASSERT_NE(v, nullptr) << key(i);
            EXPECT_EQ(v->asInteger(), i % 2 ? i : -i);
            EXPECT_EQ(order.at(at++), key(i));
        }
        EXPECT_EQ(order.at(at), "last");
        EXPECT_EQ(d.size(), at + 1);
        EXPECT_EQ(d.find("k"), nullptr);
        EXPECT_EQ(d.deepCopy(), d);
        d.clear();
        EXPECT_EQ(d.find("last"), nullptr);
        d.set(key(1), 1);
        EXPECT_EQ(d.objectForKey(key(1)), Value(1));
    }
}

TEST(Value, DeepTreesCopyCompareDescribeAndFreeWithoutRecursion) {
    // Deep enough that one stack frame per level would overflow an 8 MiB stack.
    Value a = chain(300000), b = a.deepCopy();
    EXPECT_FALSE(a.isSame(b));
    EXPECT_EQ(a, b);
    EXPECT_NE(a.description().find("..."), std::string::npos);  // depth-capped
    EXPECT_EQ(Value(Dictionary{{"s", "a\"b"}, {"n", 12}, {"f", 0.5}, {"b", false}, {"z", nullptr}, {"a", Array{1}}})
                  .description(),
        R"({"s":"a\"b","n":12,"f":0.5,"b":false,"z":null,"a":[1]})");
}

// Dictionaries outlive the thread that made them and are freed on other
// threads in any order, also by thread-locals at thread exit; the ones still
// held keep their contents.
TEST(Dictionary, OutliveTheirThreadAndFreeAnywhere) {
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<Dictionary>> made(kThreads);
    auto onThreads = [](auto work) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
        for (auto& th : threads) th.join();
    };
    onThreads([&made](int t) {
        for (int i = 0; i < kEach; ++i) made[t].push_back(Dictionary{{"t", t}, {"i", i}});
    });
    onThreads([&made](int t) {  // each drops every other one of another thread's batch
        for (int i = 0; i < kEach; i += 2) made[(t + 1) % kThreads][i] = Dictionary();
    });
    for (int t = 0; t < kThreads; ++t)
        for (int i = 1; i < kEach; i += 2) ASSERT_EQ(made[t][i], (Dictionary{{"t", t}, {"i", i}}));
    struct HeldAtThreadExit {
        Value tree;
        ~HeldAtThreadExit() { tree = Value(); }
    };
    std::thread([] {
        static thread_local HeldAtThreadExit held;  // destroyed after the library's per-thread state
        held.tree = chain(1000);
        Value warm = chain(2);
        static thread_local HeldAtThreadExit later;  // destroyed before it
        later.tree = chain(1000);
    }).join();
}

}  // namespace
