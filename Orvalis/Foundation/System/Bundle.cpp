#include <Orvalis/Foundation/System/Bundle.h>

#include <filesystem>
#include <system_error>

namespace orvalis {
namespace {

std::string executableDirectory() {
    std::error_code ec;
#if defined(__linux__)
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return exe.parent_path().string();
#endif
    // Portable fallback: the working directory.
    auto cwd = std::filesystem::current_path(ec);
    return ec ? std::string(".") : cwd.string();
}

}  // namespace

Bundle::Bundle() : resourcePath_(executableDirectory()) {}

Bundle& Bundle::mainBundle() {
    static Bundle bundle;
    return bundle;
}

void Bundle::setResourcePath(std::string dir) {
    std::lock_guard lock(mutex_);
    resourcePath_ = std::move(dir);
}

std::string Bundle::resourcePath() const {
    std::lock_guard lock(mutex_);
    return resourcePath_;
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type) const {
    if (!isPlainResourceName(name)) return std::nullopt;
    std::string file(name);
    if (!type.empty()) {
        file += '.';
        file += type;
    }
    std::filesystem::path p = std::filesystem::path(resourcePath()) / file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(p, ec)) return std::nullopt;
    return p.string();
}

bool Bundle::isPlainResourceName(std::string_view name) noexcept {
    // A separator or ".." would leave the directory; a NUL would cut the name
    // short in the system call and open another file.
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

}  // namespace orvalis
