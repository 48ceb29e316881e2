// Files to attach, read on Windows: the path widened from the caller's code
// page and opened with CreateFileW, so that a name the ANSI code page
// cannot write opens when the caller gives it in UTF-8.
#include <algorithm>
#include <climits>
#include <memory>
#include <string>

#include "platform/file_words.h"
#include "platform/platform.h"
#include "platform/win/winsock.h"  // windows.h, as the platform layer includes it

namespace vtl::platform {

// Words of our own, the same as POSIX's for the same fault. FormatMessage
// would give them in the user's language.
std::string win::FileErrorWords(DWORD error) {
  using namespace file_words;
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return std::string(kNoSuchFile);
    case ERROR_ACCESS_DENIED:
      return std::string(kPermissionDenied);
    case ERROR_SHARING_VIOLATION:
      return "another program has it open and shares it with none";
    case ERROR_LOCK_VIOLATION:
      return "another program has locked a part of it";
    case ERROR_INVALID_NAME:
      return "not a valid file name";
    case ERROR_FILENAME_EXCED_RANGE:
      return std::string(kNameTooLong);
    case ERROR_BAD_NETPATH:
      return "network path not found";
    case ERROR_BAD_NET_NAME:
      return "network name not found";
    case ERROR_NOT_READY:
      return "the drive is not ready";
    case ERROR_TOO_MANY_OPEN_FILES:
      return std::string(kTooManyOpen);
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return std::string(kOutOfMemory);
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
      return std::string(kIoError);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return std::string(kDiskFull);
    case ERROR_WRITE_PROTECT:
      return std::string(kReadOnly);
    default:
      return "Windows error " + std::to_string(error);
  }
}

namespace {

using namespace file_words;
using win::FileErrorWords;

// The path in UTF-16; false when it is no text of the code page.
bool Widen(std::string_view path, UINT codePage, std::wstring& wide) {
  if (path.empty()) return true;
  if (path.size() > INT_MAX) return false;
  const int length = static_cast<int>(path.size());
  // A byte sequence that is no character must not become a '?' that opens
  // another file. Some code pages (50220 and its kin) refuse the flag.
  DWORD flags = MB_ERR_INVALID_CHARS;
  int n = MultiByteToWideChar(codePage, flags, path.data(), length, nullptr, 0);
  if (n == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
    flags = 0;
    n = MultiByteToWideChar(codePage, flags, path.data(), length, nullptr, 0);
  }
  if (n <= 0) return false;
  wide.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(codePage, flags, path.data(), length, wide.data(), n) == n;
}

class WinInputFile final : public InputFile {
 public:
  WinInputFile() = default;
  WinInputFile(const WinInputFile&) = delete;
  WinInputFile& operator=(const WinInputFile&) = delete;
  ~WinInputFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  // The words of a failure, else empty.
  std::string Open(const std::wstring& path, uint64_t& size) {
    // No "insert a disk" box for an empty drive: a host's user may not be
    // at the screen, and the call would wait for one.
    DWORD oldMode = 0;
    const bool quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &oldMode) != FALSE;
    // Shared for writing and deletion too: a document open in an editor is
    // still sent, and the editor may go on saving it (CurrentSize lets the
    // sender notice).
    handle_ =
        CreateFileW(path.c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    // A path that names a pipe may not let its server act as the caller.
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | SECURITY_SQOS_PRESENT |
                        SECURITY_IDENTIFICATION,
                    nullptr);
    const DWORD error = GetLastError();
    if (quiet) SetThreadErrorMode(oldMode, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      // A directory is refused as access denied: told apart here.
      const DWORD attributes = GetFileAttributesW(path.c_str());
      if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::string(kIsADirectory);
      return FileErrorWords(error);
    }
    // A console, a printer port, NUL or a pipe: not a file to attach.
    if (GetFileType(handle_) != FILE_TYPE_DISK) return std::string(kNotRegular);
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(handle_, &length)) return FileErrorWords(GetLastError());
    size = static_cast<uint64_t>(length.QuadPart);
    written_ = LastWrite();
    return {};
  }

  IoResult Read(char* buffer, size_t size) override {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<size_t>(size, DWORD{1} << 30));
    if (!ReadFile(handle_, buffer, want, &got, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) return {IoStatus::Closed, 0};
      error_ = error;
      return {IoStatus::Failed, 0};
    }
    return got > 0 ? IoResult{IoStatus::Ok, got} : IoResult{IoStatus::Closed, 0};
  }

  std::string Why() const override { return error_ != 0 ? FileErrorWords(error_) : std::string(); }

  int64_t CurrentSize() override {
    LARGE_INTEGER length{};
    return GetFileSizeEx(handle_, &length) ? static_cast<int64_t>(length.QuadPart) : -1;
  }

  bool ChangedSinceOpened() override { return LastWrite() != written_; }

 private:
  // The time of the last write, in 100 ns units; 0 when it cannot be had.
  uint64_t LastWrite() const {
    FILETIME written{};
    if (!GetFileTime(handle_, nullptr, nullptr, &written)) return 0;
    return uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime;
  }

  uint64_t written_ = 0;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD error_ = 0;  // of the last failed read
};

}  // namespace

FileOpened OpenInputFile(std::string_view path, unsigned codePage) {
  FileOpened opened;
  std::wstring wide;
  if (path.find('\0') != std::string_view::npos) {
    opened.why = kZeroByte;
  } else if (!Widen(path, codePage, wide)) {
    opened.why = "the path is no text of code page " + std::to_string(codePage);
  } else {
    // Made first, so that the handle has its owner the moment it exists.
    auto file = std::make_unique<WinInputFile>();
    opened.why = file->Open(wide, opened.size);
    if (opened.why.empty()) opened.file = std::move(file);
  }
  if (opened.file == nullptr) opened.size = 0;
  return opened;
}

}  // namespace vtl::platform
