#include <Orvalis/Foundation/Value.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace orvalis;

TEST(Value, StringsOfEveryLengthRoundTrip) {
    // Inline storage ends at 14 bytes; the shared buffer starts at 15.
    for (std::size_t n : {0u, 1u, 13u, 14u, 15u, 16u, 1000u}) {
        std::string s(n, 'x');
        if (n) s[n - 1] = '\0';  // embedded NUL is kept
        Value v{std::string_view(s)};
        ASSERT_TRUE(v.isString());
        EXPECT_EQ(v.asString(), s) << n;
        Value copy = v;
        Value moved = std::move(v);
        EXPECT_EQ(copy.asString(), s);
        EXPECT_EQ(moved.asString(), s);
        EXPECT_TRUE(v.isNull());  // NOLINT(bugprone-use-after-move): moved-from is null
    }
}

TEST(Value, ScalarKindsAndNumericEquality) {
    EXPECT_TRUE(Value().isNull());
    EXPECT_TRUE(Value(nullptr).isNull());
    EXPECT_TRUE(Value(true).asBool());
    EXPECT_EQ(Value(std::numeric_limits<std::int64_t>::min()).asInteger(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Value(7).kind(), Value::Kind::Integer);
    EXPECT_EQ(Value(7.5).kind(), Value::Kind::Double);
    EXPECT_EQ(Value(2), Value(2.0));
    EXPECT_NE(Value(2), Value(2.5));
    EXPECT_NE(Value(true), Value(1));
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_EQ(Value(), Value(nullptr));
}

TEST(Dictionary, HandlesShareOneContainer) {
    Dictionary a;
    Dictionary b = a;
    b.set("k", "v");
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a["k"].asString(), "v");
    EXPECT_TRUE(a.isSame(b));

    Value held(a);
    held.asDictionary().set("k2", 2);
    EXPECT_EQ(a.size(), 2u);
    EXPECT_TRUE(held.isSame(Value(b)));

    Dictionary copy = a.deepCopy();
    copy.set("k3", 3);
    EXPECT_EQ(a.size(), 2u);
    EXPECT_FALSE(copy.isSame(a));
}

TEST(Dictionary, KeepsInsertionOrderAndReplacesInPlace) {
    Dictionary d;
    for (int i = 0; i < 40; ++i) d.set("key" + std::to_string(i), i);  // past the inline entries
    d.set("key3", "three");
    ASSERT_TRUE(d.remove("key0"));
    EXPECT_FALSE(d.remove("absent"));
    std::vector<std::string> keys;
    for (const auto& e : d) keys.emplace_back(e.key());
    ASSERT_EQ(keys.size(), 39u);
    EXPECT_EQ(keys.front(), "key1");
    EXPECT_EQ(keys[2], "key3");
    EXPECT_EQ(d["key3"].asString(), "three");
    EXPECT_EQ(d.objectForKey("key39").asInteger(), 39);
    EXPECT_TRUE(d.objectForKey("key0").isNull());
    EXPECT_EQ(d.find("key0"), nullptr);
}

TEST(Dictionary, EqualityComparesContentsNotOrder) {
    Dictionary a{{"x", 1}, {"y", Array{"a", Dictionary{{"z", nullptr}}}}};
    Dictionary b{{"y", Array{"a", Dictionary{{"z", nullptr}}}}, {"x", 1.0}};
    EXPECT_EQ(a, b);
    b.objectForKey("y").asArray()[1].asDictionary().set("z", 0);
    EXPECT_NE(a, b);
    EXPECT_NE(a, (Dictionary{{"x", 1}}));
}

TEST(Array, SharesAndEdits) {
    Array a{1, "two", 3.0};
    Array alias = a;
    alias.push_back(Dictionary{});
    alias.erase(1);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].asInteger(), 1);
    EXPECT_EQ(a[1].asDouble(), 3.0);
    EXPECT_TRUE(a.back().isDictionary());
    a.pop_back();
    EXPECT_EQ(alias.size(), 2u);
}

namespace {
// A chain of `depth` nested single-entry containers.
Value chain(int depth) {
    Dictionary root;
    Dictionary cur = root;
    for (int i = 0; i < depth; ++i) {
        Dictionary next;
        Array holder{next};
        cur.set("c", holder);
        cur = next;
    }
    return root;
}
}  // namespace

TEST(Value, DeepTreesCopyCompareAndFreeWithoutRecursion) {
    // Deep enough that one stack frame per level would overflow an 8 MiB stack.
    Value a = chain(300000);
    Value b = a.deepCopy();
    EXPECT_FALSE(a.isSame(b));
    EXPECT_EQ(a, b);
    std::string text = a.description();  // depth-capped, not recursive past the cap
    EXPECT_NE(text.find("..."), std::string::npos);
    a = Value();
    b = Value();
    SUCCEED();
}

TEST(Value, DescriptionIsReadable) {
    Dictionary d{{"s", "a\"b"}, {"n", 12}, {"f", 0.5}, {"b", false}, {"z", nullptr}, {"a", Array{1}}};
    EXPECT_EQ(d.description(), R"({"s":"a\"b","n":12,"f":0.5,"b":false,"z":null,"a":[1]})");
    EXPECT_EQ(Value("plain").description(), "plain");
}

TEST(Value, SharedContainersSurviveConcurrentCopies) {
    Dictionary shared{{"k", std::string(100, 'v')}};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([shared] {
            for (int i = 0; i < 20000; ++i) {
                Value copy(shared);
                Value s = copy.asDictionary().objectForKey("k");
                ASSERT_EQ(s.asString().size(), 100u);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared["k"].asString(), std::string(100, 'v'));
}

// Dictionaries outlive the thread that made them and are freed on other
// threads in any order; the ones still held keep their contents.
TEST(Dictionary, OutliveTheirThreadAndFreeAnywhere) {
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<Dictionary>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&made, t] {
            for (int i = 0; i < kEach; ++i) made[t].push_back(Dictionary{{"t", t}, {"i", i}});
        });
    for (auto& th : threads) th.join();
    threads.clear();
    // Each thread drops every other dictionary of another thread's batch.
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&made, t] {
            auto& batch = made[(t + 1) % kThreads];
            for (int i = 0; i < kEach; i += 2) batch[i] = Dictionary();
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t)
        for (int i = 1; i < kEach; i += 2) {
            ASSERT_EQ(made[t][i].objectForKey("t"), Value(t));
            ASSERT_EQ(made[t][i].objectForKey("i"), Value(i));
        }
}

namespace {
// A thread-local that outlives the library's own per-thread state: its
// destructor frees a deep tree while the thread is ending.
struct HeldAtThreadExit {
    Value tree;
    ~HeldAtThreadExit() { tree = Value(); }
};
}  // namespace

TEST(Value, TreesFreedByThreadLocalsAtThreadExit) {
    std::thread t([] {
        static thread_local HeldAtThreadExit held;
        held.tree = chain(1000);
        Value warm = chain(2);  // the library's per-thread state now exists
        warm = Value();
        // Constructed after `held`, so destroyed before it.
        static thread_local HeldAtThreadExit later;
        later.tree = chain(1000);
    });
    t.join();
    SUCCEED();
}
