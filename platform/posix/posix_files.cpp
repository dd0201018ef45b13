#include "platform/posix/posix_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon {
namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now, so that a failed close (a full disk on NFS) is seen.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

FileRead failed(int error) {
    FileRead read;
    read.problem = error == ENOENT                     ? FileProblem::missing
                   : error == EACCES || error == EPERM ? FileProblem::denied
                                                       : FileProblem::other;
    read.reason = std::strerror(error);
    return read;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool write_file(const std::string& path, std::string_view bytes, int flags) {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666));
    if (fd.get() < 0) return false;
    const bool written = write_all(fd.get(), bytes);
    return fd.close() && written;
}

}  // namespace

FileRead PosixFiles::read_whole(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return failed(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return failed(errno);
    if (S_ISDIR(st.st_mode)) return failed(EISDIR);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed(errno);
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    FileRead read;
    read.bytes = std::move(bytes);
    return read;
}

bool PosixFiles::write_whole(const std::string& path, std::string_view bytes) {
    return write_file(path, bytes, O_TRUNC);
}

bool PosixFiles::append(const std::string& path, std::string_view bytes) {
    return write_file(path, bytes, O_APPEND);
}

bool PosixFiles::exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace quillon
