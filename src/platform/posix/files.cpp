// Files to attach, read on POSIX systems: the path's bytes as they are.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/file_words.h"
#include "platform/platform.h"
#include "platform/posix/fd.h"

namespace vtl::platform {

// Words of our own, the same as Windows' for the same fault.
std::string posix::FileErrorWords(int error) {
  using namespace file_words;
  switch (error) {
    case ENOENT:
      return std::string(kNoSuchFile);
    case ENOTDIR:
      return std::string(kNotADirectory);
    case EISDIR:
      return std::string(kIsADirectory);
    case ENXIO:  // a socket, or a device whose driver is not there
    case ENODEV:
      return std::string(kNotRegular);
    case EACCES:
    case EPERM:
      return std::string(kPermissionDenied);
    case ENAMETOOLONG:
      return std::string(kNameTooLong);
    case ELOOP:
      return "too many levels of symbolic links";
    case EMFILE:
      return std::string(kTooManyOpen);
    case ENFILE:
      return "too many open files in the system";
    case ENOMEM:
      return std::string(kOutOfMemory);
    case EIO:
      return std::string(kIoError);
    case ENOSPC:
    case EDQUOT:
      return std::string(kDiskFull);
    case EROFS:
      return std::string(kReadOnly);
    default:
      return "error " + std::to_string(error);
  }
}

namespace {

using namespace file_words;
using posix::FileErrorWords;

class PosixInputFile final : public InputFile {
 public:
  PosixInputFile() = default;
  PosixInputFile(const PosixInputFile&) = delete;
  PosixInputFile& operator=(const PosixInputFile&) = delete;
  ~PosixInputFile() override {
    if (fd_ >= 0) close(fd_);
  }

  // The errno of a failure, else 0.
  int Open(const char* path, uint64_t& size) {
    // Only a regular file is opened: opening a device or a FIFO has effects
    // of its own (a FIFO's writer let go, a serial line's DTR raised).
    struct stat before {};
    if (stat(path, &before) != 0) return errno;
    if (S_ISDIR(before.st_mode)) return EISDIR;
    if (!S_ISREG(before.st_mode)) return ENXIO;
    // Non-blocking all the same, should the path be swapped for a FIFO
    // meanwhile; no controlling terminal should it name one.
    do {
      fd_ = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return errno;
    struct stat st {};
    if (fstat(fd_, &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    // A device, FIFO or socket: not a regular file; another file than the
    // one checked: not the file asked for.
    if (!S_ISREG(st.st_mode) || st.st_dev != before.st_dev || st.st_ino != before.st_ino)
      return ENXIO;
    changed_ = st.st_ctim;
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
    size = static_cast<uint64_t>(st.st_size);
    return 0;
  }

  IoResult Read(char* buffer, size_t size) override {
    // A count above SSIZE_MAX is the implementation's to define.
    size = std::min<size_t>(size, size_t{1} << 30);
    for (;;) {
      const ssize_t n = read(fd_, buffer, size);
      if (n > 0) return {IoStatus::Ok, static_cast<size_t>(n)};
      if (n == 0) return {IoStatus::Closed, 0};
      if (errno != EINTR) {
        error_ = errno;
        return {IoStatus::Failed, 0};
      }
    }
  }

  std::string Why() const override { return error_ != 0 ? FileErrorWords(error_) : std::string(); }

  int64_t CurrentSize() override {
    struct stat st {};
    return fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  }

  bool ChangedSinceOpened() override {
    struct stat st {};
    return fstat(fd_, &st) != 0 || st.st_ctim.tv_sec != changed_.tv_sec ||
           st.st_ctim.tv_nsec != changed_.tv_nsec;
  }

 private:
  int fd_ = -1;
  timespec changed_{};  // the inode's time of last change when opened
  int error_ = 0;       // of the last failed read
};

}  // namespace

FileOpened OpenInputFile(std::string_view path, unsigned /*codePage*/) {
  FileOpened opened;
  if (path.find('\0') != std::string_view::npos) {
    opened.why = kZeroByte;
    return opened;
  }
  const std::string name(path);
  // Made first, so that the descriptor has its owner the moment it exists.
  auto file = std::make_unique<PosixInputFile>();
  if (const int error = file->Open(name.c_str(), opened.size); error != 0) {
    opened.why = FileErrorWords(error);
    return opened;
  }
  opened.file = std::move(file);
  return opened;
}

}  // namespace vtl::platform
