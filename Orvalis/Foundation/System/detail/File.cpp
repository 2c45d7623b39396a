#include <Orvalis/Foundation/System/detail/File.h>

#include <cstdio>
#include <memory>

namespace orvalis::detail {

std::optional<std::string> readWholeFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) return std::nullopt;
    std::string out;
    char buf[65536];
    for (;;) {
        std::size_t n = std::fread(buf, 1, sizeof buf, f.get());
        out.append(buf, n);
        if (n < sizeof buf) break;
    }
    if (std::ferror(f.get())) return std::nullopt;
    return out;
}

}  // namespace orvalis::detail
