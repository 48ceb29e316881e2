// Owned file descriptors, and the words of a file's errors, for the POSIX
// platform layer.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace vtl::platform::posix {

// A descriptor closed when its owner goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes it now, for a caller that must know whether the close failed (a
  // file written: NFS reports a failed write at close); the errno, or 0.
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 && close(fd) != 0 ? errno : 0;
  }

 private:
  int fd_;
};

// Words of our own for errno values of files, the same as Windows' for the
// same fault (platform/file_words.h).
std::string FileErrorWords(int error);

}  // namespace vtl::platform::posix
