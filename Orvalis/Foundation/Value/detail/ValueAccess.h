#pragma once

// Library-internal: the few Value internals the decoders need. Not installed.
#include <Orvalis/Foundation/Value/Value.h>

#include <cstddef>
#include <string_view>

namespace orvalis::detail {

/// The Value internals decoders use.
struct ValueAccess {
    /// The longest string a Value holds in place, without a shared block.
    static constexpr std::size_t kInlineStringBytes = Value::kInline;
    /// An empty Array or Dictionary (kind given) that takes no block until
    /// it is first copied or handed out as a handle.
    static Value emptyContainer(Value::Kind kind) noexcept;
    /// True for a container made by emptyContainer and not handed out yet.
    static bool isUnbornContainer(const Value& v) noexcept;
    /// A Double of nearest that keeps text (a JSON number) as its digits.
    static Value numberWithText(double nearest, std::string_view text);
    /// The kept text of a number made by numberWithText, else empty.
    static std::string_view keptNumberText(const Value& v) noexcept;
    /// An empty Dictionary whose block holds room for entries entries (one
    /// block, carved like any other, up to 16); throws std::bad_alloc.
    static Dictionary dictionaryWithRoom(std::size_t entries);
    /// As Dictionary::append, with the key given as a string Value (shared,
    /// not copied): the key must be absent. Throws std::bad_alloc.
    static void appendEntry(Dictionary& d, Value key, Value value);
};

}  // namespace orvalis::detail
