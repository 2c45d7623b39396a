#pragma once

#include <Orvalis/Foundation/Export.h>

#include <chrono>
#include <cstddef>

namespace orvalis {

/// Opt-in, process-wide cache of imported merchant keys. Off by default:
/// every signature then reads and imports its key anew. On, an imported key
/// stays in this process's memory for the chosen lifetime, so that a busy host
/// pays the PKCS#12 import (most of an operation's CPU) once per lifetime
/// instead of once per request. The price: the private key lives in memory
/// between requests, where a memory dump or a debugger can reach it.
///
/// A kept key is found again only for the same source (the resolved file,
/// or the same bytes) and the same password, compared through a keyed digest
/// (the password itself is never kept). A file's key is imported anew when
/// the file's size, modification time, device or inode changed. A key past
/// its lifetime is dropped at the next key request or by clear(); dropping
/// frees it, and OpenSSL overwrites the private numbers as it frees them. A kept
/// key's signing contexts (set up once, then used again) are kept and freed with it.
/// Any thread may call any member.
class ORVALIS_EXPORT KeyCache {
public:
    /// The one cache, created on first use (thread-safe).
    static KeyCache& sharedInstance();

    /// Keeps each key for lifetime after its import; zero turns the cache off
    /// and drops every kept key. A negative lifetime is refused (false, nothing changes).
    bool setLifetime(std::chrono::milliseconds lifetime);
    /// The lifetime in use; zero when the cache is off.
    std::chrono::milliseconds lifetime() const;
    /// Drops every kept key now (the cache stays on or off as it was).
    void clear();
    /// How many keys are kept right now.
    std::size_t count() const;

private:
    KeyCache() = default;
};

}  // namespace orvalis
