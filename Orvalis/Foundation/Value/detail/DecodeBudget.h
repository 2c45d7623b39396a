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

}  // namespace orvalis::detail
