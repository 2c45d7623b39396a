#pragma once

// Library-internal: the memory bound of decoding an answer. Not installed.
#include <Orvalis/Foundation/Export.h>

#include <cstddef>
#include <new>

namespace orvalis::detail {

/// Thrown while a DecodeBudget is active on the thread and the Values built
/// under it would take more than its limit, or nest deeper than its depth.
class DecodeBudgetExceeded : public std::bad_alloc {
public:
    const char* what() const noexcept override;
};

/// While alive, every block Values allocate on this thread is charged to it
/// (with the allocator's own overhead); passing the limit throws
/// DecodeBudgetExceeded. A block the decode itself replaces (a wide
/// dictionary's lookup table rebuilt larger) is credited back once freed, so
/// the charge bounds what is live at once. Scopes nest; the innermost counts.
class DecodeBudget {
public:
    DecodeBudget(std::size_t limitBytes, std::size_t maxDepth) noexcept;
    ~DecodeBudget();
    DecodeBudget(const DecodeBudget&) = delete;
    DecodeBudget& operator=(const DecodeBudget&) = delete;

    /// Adds bytes; throws DecodeBudgetExceeded past the limit.
    void charge(std::size_t bytes);
    /// Takes back bytes charged for a block that is now freed.
    void credit(std::size_t bytes) noexcept { used_ -= bytes < used_ ? bytes : used_; }
    /// Throws DecodeBudgetExceeded when depth is beyond maxDepth.
    void checkDepth(std::size_t depth) const;
    /// Bytes charged and not credited back.
    std::size_t used() const noexcept { return used_; }
    /// The budget active on this thread, or nullptr.
    static DecodeBudget* current() noexcept;

private:
    std::size_t limit_;
    std::size_t maxDepth_;
    std::size_t used_ = 0;
    DecodeBudget* outer_;
};

}  // namespace orvalis::detail
