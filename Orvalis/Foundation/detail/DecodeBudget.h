#pragma once

// Library-internal: the memory bound of decoding an answer, and the few Value
// internals the decoders need. Not installed.
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Value.h>

#include <cstddef>
#include <new>
#include <string_view>

namespace orvalis::detail {

/// Thrown while a DecodeBudget is active on the thread and the Values built
/// under it would take more than its limit, or nest deeper than its depth.
class DecodeBudgetExceeded : public std::bad_alloc {
public:
    const char* what() const noexcept override;
};

/// While alive, every block Values allocate on this thread is charged to it
/// (with the allocator's own overhead); passing the limit throws
/// DecodeBudgetExceeded. Frees are not credited: the charge bounds the peak.
/// Scopes nest; the innermost counts.
class DecodeBudget {
public:
    DecodeBudget(std::size_t limitBytes, std::size_t maxDepth) noexcept;
    ~DecodeBudget();
    DecodeBudget(const DecodeBudget&) = delete;
    DecodeBudget& operator=(const DecodeBudget&) = delete;

    /// Adds bytes; throws DecodeBudgetExceeded past the limit.
    void charge(std::size_t bytes);
    /// Throws DecodeBudgetExceeded when depth is beyond maxDepth.
    void checkDepth(std::size_t depth) const;
    /// Bytes charged so far.
    std::size_t used() const noexcept { return used_; }
    /// The budget active on this thread, or nullptr.
    static DecodeBudget* current() noexcept;

private:
    std::size_t limit_;
    std::size_t maxDepth_;
    std::size_t used_ = 0;
    DecodeBudget* outer_;
};

/// The Value internals decoders use.
struct ValueAccess {
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
};

}  // namespace orvalis::detail
