#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <Orvalis/Foundation/Export.h>

namespace orvalis {

/// The host application's resources: one directory that holds the merchant's
/// key file and request templates.
class ORVALIS_EXPORT Bundle {
public:
    /// The process-wide bundle. Its resource directory defaults to the
    /// directory of the running executable.
    static Bundle& mainBundle();

    /// Points the bundle at dir. Safe to call while other threads look up resources.
    void setResourcePath(std::string dir);
    /// The resource directory currently in use (a copy, so it stays valid).
    std::string resourcePath() const;

    /// Full path of the regular file "<name>.<type>" in the resource
    /// directory, or no value when there is none or name is not a plain
    /// resource name (so that nothing outside the directory is ever named).
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const;

    /// True when name can only mean a file inside the resource directory: not
    /// empty, not "." or "..", and no "/", "\\" or NUL. Any thread.
    static bool isPlainResourceName(std::string_view name) noexcept;

private:
    Bundle();
    mutable std::mutex mutex_;
    std::string resourcePath_;
};

}  // namespace orvalis
