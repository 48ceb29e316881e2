// The user's protected storage on Windows: one file for each item under
// %LOCALAPPDATA%\vtl\grants, encrypted with DPAPI for the current user, so
// that another account (or this one's files copied to another machine)
// cannot read it.
#include <atomic>
#include <new>
#include <string>
#include <string_view>

#include "platform/file_words.h"
#include "platform/platform.h"
#include "platform/win/winsock.h"  // windows.h, as the platform layer includes it
// (after windows.h)
#include <knownfolders.h>
#include <shlobj.h>
#include <wincrypt.h>

namespace vtl::platform {
namespace {

using win::FileErrorWords;

// An item is a few tokens; anything much larger is not one of ours. (The
// file is a little larger than the item: DPAPI adds its header and MAC.)
constexpr LONGLONG kMaxFile = (1 << 20) + (1 << 16);

// Our own secondary entropy: another program of this user that calls
// CryptUnprotectData on the file without it gets nothing.
constexpr char kEntropy[] = "vtl sign-in grant 1";

DATA_BLOB EntropyBlob() {
  return {sizeof kEntropy - 1, reinterpret_cast<BYTE*>(const_cast<char*>(kEntropy))};
}

// A blob DPAPI allocated: wiped (it may hold an item) and freed when it goes.
struct OwnedBlob {
  DATA_BLOB blob{};
  OwnedBlob() = default;
  OwnedBlob(const OwnedBlob&) = delete;
  OwnedBlob& operator=(const OwnedBlob&) = delete;
  ~OwnedBlob() {
    if (blob.pbData != nullptr) {
      Wipe(blob.pbData, blob.cbData);
      LocalFree(blob.pbData);
    }
  }
};

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  // Closes it now; false when the close failed.
  bool Close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h == INVALID_HANDLE_VALUE || CloseHandle(h) != FALSE;
  }

 private:
  HANDLE h_;
};

// %LOCALAPPDATA% as the environment names it (so that a test or a service
// can point it elsewhere), else the known folder; empty when neither.
std::wstring LocalAppData() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH + 1);
  if (n > 0 && n <= MAX_PATH) return std::wstring(buffer, n);
  std::wstring folder;
  PWSTR known = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &known)))
    folder = known;
  CoTaskMemFree(known);
  return folder;
}

std::wstring FolderW() {
  std::wstring folder = LocalAppData();
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  return folder.empty() ? folder : folder + L"\\vtl\\grants";
}

std::string Narrow(const std::wstring& wide) {
  return Utf8FromWide(wide.c_str());
}

StoreOutcome Fault(StoreStatus status, std::string why) {
  return {status, std::move(why)};
}

// A name the caller made is one file in the folder: printable ASCII that
// no Windows file name forbids, never a path.
bool IsItemName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ')
    return false;
  for (const char c : name)
    if (c < 0x20 || c > 0x7E || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos)
      return false;
  return true;
}

// The path of `name` (checked) in the folder.
std::wstring ItemPath(const std::wstring& folder, std::string_view name) {
  return folder + L"\\" + std::wstring(name.begin(), name.end());
}

StoreOutcome MakeFolders(const std::wstring& folder) {
  // The two of ours, and %LOCALAPPDATA% itself should it be missing.
  const std::wstring grants = folder;
  const std::wstring vtl = folder.substr(0, folder.rfind(L'\\'));
  const std::wstring base = vtl.substr(0, vtl.rfind(L'\\'));
  for (const std::wstring* path : {&base, &vtl, &grants}) {
    if (!CreateDirectoryW(path->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return Fault(StoreStatus::Failed,
                   "cannot make " + Narrow(*path) + ": " + FileErrorWords(GetLastError()));
  }
  return {StoreStatus::Ok, {}};
}

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

StoreOutcome ReadItem(const std::wstring& path, std::string& out) {
  // Shared for deletion, so that a writer can rename its new item over it.
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (IsMissing(error)) return Fault(StoreStatus::Missing, {});
    return Fault(StoreStatus::Failed, "cannot open " + Narrow(path) + ": " + FileErrorWords(error));
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK)
    return Fault(StoreStatus::Refused, "the file is not a regular file: " + Narrow(path));
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size))
    return Fault(StoreStatus::Failed,
                 "cannot read " + Narrow(path) + ": " + FileErrorWords(GetLastError()));
  if (size.QuadPart > kMaxFile)
    return Fault(StoreStatus::Damaged, "the file is larger than an item can be (" +
                                           std::to_string(size.QuadPart) +
                                           " bytes): " + Narrow(path));
  std::string sealed(static_cast<size_t>(size.QuadPart), '\0');
  for (DWORD done = 0; done < sealed.size();) {
    DWORD got = 0;
    if (!ReadFile(file.get(), sealed.data() + done, static_cast<DWORD>(sealed.size()) - done, &got,
                  nullptr))
      return Fault(StoreStatus::Failed,
                   "cannot read " + Narrow(path) + ": " + FileErrorWords(GetLastError()));
    if (got == 0) return Fault(StoreStatus::Damaged, "the file is cut short: " + Narrow(path));
    done += got;
  }
  DATA_BLOB in{static_cast<DWORD>(sealed.size()), reinterpret_cast<BYTE*>(sealed.data())};
  DATA_BLOB entropy = EntropyBlob();
  OwnedBlob plain;
  if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &plain.blob))
    return Fault(StoreStatus::Damaged, "the file cannot be decrypted for this user (error " +
                                           std::to_string(GetLastError()) + "): " + Narrow(path));
  out.assign(reinterpret_cast<const char*>(plain.blob.pbData), plain.blob.cbData);
  return {StoreStatus::Ok, {}};
}

// Replaces the item at `path` with `sealed`, through a temporary file
// beside it: a reader sees the old item or the new, never a part.
StoreOutcome WriteItem(const std::wstring& path, const DATA_BLOB& sealed) {
  static std::atomic<unsigned> written{0};
  const std::wstring folder = path.substr(0, path.rfind(L'\\'));
  const std::wstring temp = folder + L"\\." + path.substr(folder.size() + 1) + L".new-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(written.fetch_add(1));
  // Not shared: no one reads a file still being written. Not inherited (no
  // security attributes): a program started meanwhile gets no handle.
  Handle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid())
    return Fault(StoreStatus::Failed,
                 "cannot write in " + Narrow(folder) + ": " + FileErrorWords(GetLastError()));
  DWORD error = 0;
  for (DWORD done = 0; error == 0 && done < sealed.cbData;) {
    DWORD put = 0;
    if (!WriteFile(file.get(), sealed.pbData + done, sealed.cbData - done, &put, nullptr))
      error = GetLastError();
    done += put;
  }
  // On the disk before the move makes it the item.
  if (error == 0 && !FlushFileBuffers(file.get())) error = GetLastError();
  if (!file.Close() && error == 0) error = GetLastError();
  if (error == 0) {
    // A reader or a scanner that has the item open without sharing it for
    // deletion holds the move up for a moment.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (MoveFileExW(temp.c_str(), path.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return {StoreStatus::Ok, {}};
      }
      error = GetLastError();
      if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
      Sleep(10);
    }
  }
  DeleteFileW(temp.c_str());
  return Fault(StoreStatus::Failed, "cannot write " + Narrow(path) + ": " + FileErrorWords(error));
}

// The checks every request shares, and no exception out of the layer.
template <class F>
StoreOutcome Guarded(std::string_view name, F request) noexcept {
  try {
    if (!IsItemName(name)) return Fault(StoreStatus::Failed, "not a name an item can have");
    const std::wstring folder = FolderW();
    if (folder.empty()) return Fault(StoreStatus::Failed, "no local application data folder");
    return request(folder, ItemPath(folder, name));
  } catch (const std::bad_alloc&) {
    return Fault(StoreStatus::Failed, std::string(file_words::kOutOfMemory));
  }
}

}  // namespace

std::string KeptFolder() {
  try {
    return Narrow(FolderW());
  } catch (const std::bad_alloc&) {
    return {};
  }
}

StoreOutcome ReadKept(std::string_view name, std::string& out) {
  Wipe(out.data(), out.size());
  out.clear();
  return Guarded(name, [&](const std::wstring&, const std::wstring& path) {
    StoreOutcome outcome = ReadItem(path, out);
    if (outcome.status != StoreStatus::Ok) out.clear();
    return outcome;
  });
}

StoreOutcome WriteKept(std::string_view name, std::string_view bytes) {
  return Guarded(name, [&](const std::wstring& folder, const std::wstring& path) {
    if (bytes.size() > static_cast<size_t>(kMaxFile))
      return Fault(StoreStatus::Failed, "the item is larger than an item can be");
    DATA_BLOB in{static_cast<DWORD>(bytes.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
    DATA_BLOB entropy = EntropyBlob();
    OwnedBlob sealed;
    if (!CryptProtectData(&in, L"vtl sign-in grant", &entropy, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &sealed.blob))
      return Fault(StoreStatus::Failed, "the item cannot be encrypted for this user (error " +
                                            std::to_string(GetLastError()) + ")");
    StoreOutcome made = MakeFolders(folder);
    return made.status != StoreStatus::Ok ? made : WriteItem(path, sealed.blob);
  });
}

StoreOutcome RemoveKept(std::string_view name) {
  return Guarded(name, [](const std::wstring&, const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return StoreOutcome{StoreStatus::Ok, {}};
    const DWORD error = GetLastError();
    if (IsMissing(error)) return Fault(StoreStatus::Missing, {});
    return Fault(StoreStatus::Failed,
                 "cannot remove " + Narrow(path) + ": " + FileErrorWords(error));
  });
}

}  // namespace vtl::platform
