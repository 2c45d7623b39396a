#pragma once

// Internal to the operations' pipeline: not installed. The threads that prepare
// and sign the attempts of Client operations, so that a host starting many at
// once from one thread uses every core, and a start call never waits for a
// signature, a key source or the journal.
#include <cstddef>
#include <functional>

namespace orvalis::detail {

/// How many start threads there are at most: the cores this process may run on (at least 1, at most 16).
std::size_t startThreadCount() noexcept;

/// Runs work on a start thread (started on first use, again in a forked child), in the
/// order given, never inside this call; what it throws is logged. Work not started when
/// the process exits is dropped. Throws std::system_error when no thread can start.
/// Any thread may call it.
void runOnStartThread(std::function<void()> work);

}  // namespace orvalis::detail
