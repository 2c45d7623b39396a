#include <Orvalis/Foundation/System/detail/FileStamp.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvalis::detail {
namespace {

FileStamp stampOf(const struct stat& st) {
    FileStamp s;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    s.inode = static_cast<std::uint64_t>(st.st_ino);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.modifiedNanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace

std::optional<FileStamp> fileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return stampOf(st);
}

std::optional<StampedFile> readStampedFile(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    StampedFile out;
    out.stamp = stampOf(st);
    // Room for one byte more than announced, to see the end in one pass.
    std::string buffer(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.size()) {
            // The file grew while being read: move to a larger buffer and wipe the old one.
            std::string larger(buffer.size() * 2, '\0');
            std::memcpy(larger.data(), buffer.data(), used);
            secureWipe(buffer.data(), buffer.size());
            buffer.swap(larger);
        }
        ssize_t n = ::read(fd.get(), buffer.data() + used, buffer.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            secureWipe(buffer.data(), buffer.size());
            return std::nullopt;
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    buffer.resize(used);  // shrinking keeps the same storage
    out.bytes = std::move(buffer);
    return out;
}

}  // namespace orvalis::detail
