#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvalis::detail {

/// What tells one version of a file from another without reading it: size,
/// modification time (nanoseconds) and identity (device and inode).
struct FileStamp {
    std::uint64_t device = 0;             ///< Device the file lives on.
    std::uint64_t inode = 0;              ///< Its inode on that device.
    std::uint64_t size = 0;               ///< Size in bytes.
    std::int64_t modifiedNanoseconds = 0; ///< Last modification, nanoseconds since 1970.
    /// True when every field is equal.
    bool operator==(const FileStamp&) const = default;
};

/// The stamp of the regular file at path (symbolic links followed), or no
/// value when there is none or it cannot be examined. Any thread.
std::optional<FileStamp> fileStamp(const std::string& path);

/// A file's bytes together with the stamp of the very file they were read from.
struct StampedFile {
    std::string bytes;  ///< The whole content.
    FileStamp stamp;    ///< The stamp of the file as it was opened.
};

/// Reads the whole regular file at path without stdio buffers, so that the
/// returned bytes are the only copy left (wipe them after use). No value when
/// the file cannot be opened or read. Any thread.
std::optional<StampedFile> readStampedFile(const std::string& path);

}  // namespace orvalis::detail
