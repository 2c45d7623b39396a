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
    /// directory, or no value when there is none (or name is empty).
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const;

private:
    Bundle();
    mutable std::mutex mutex_;
    std::string resourcePath_;
};

}  // namespace orvalis
