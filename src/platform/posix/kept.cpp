// The user's protected storage on POSIX systems: one file of mode 0600 for
// each item, in a folder of mode 0700 under the XDG state folder, as ssh
// keeps its keys. Files are reached through the folder's descriptor, so a
// folder swapped after it was checked is not the one written to.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_words.h"
#include "platform/platform.h"
#include "platform/posix/fd.h"

namespace vtl::platform {
namespace {

using posix::Fd;
using posix::FileErrorWords;

// An item is a few tokens; anything much larger is not one of ours.
constexpr off_t kMaxItem = 1 << 20;

// The user's home folder: $HOME, else the password database's.
std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr)
    return {};
  return found->pw_dir;
}

// $XDG_STATE_HOME, or ~/.local/state when it is unset, empty or relative:
// the XDG Base Directory Specification has a relative path ignored.
std::string StateFolder() {
  std::string folder;
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    folder = state;
  } else {
    folder = HomeFolder();
    if (folder.empty()) return {};
    folder += "/.local/state";
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

StoreOutcome Fault(StoreStatus status, std::string why) {
  return {status, std::move(why)};
}

// Refused unless the current user owns what `st` describes and others have
// none of the access `forbidden` names.
StoreOutcome CheckOwnership(const struct stat& st, mode_t forbidden, const char* what,
                            const std::string& path) {
  if (st.st_uid != geteuid())
    return Fault(StoreStatus::Refused, std::string(what) + " belongs to uid " +
                                           std::to_string(st.st_uid) + ", not to this user (uid " +
                                           std::to_string(geteuid()) + "): " + path);
  const mode_t open = st.st_mode & forbidden;
  if (open != 0) {
    const char* access = (open & 044) != 0 ? "readable" : (open & 022) != 0 ? "writable" : "usable";
    return Fault(StoreStatus::Refused, std::string(what) + " is " + access + " by others (mode " +
                                           ModeText(st.st_mode) + "): " + path);
  }
  return {StoreStatus::Ok, {}};
}

// Makes each missing folder of `path` with mode 0700, as the XDG Base
// Directory Specification asks of a state folder's parents.
StoreOutcome MakeFolders(const std::string& path) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      // Some systems say why the folder cannot be made before they look
      // whether it is there already.
      const int error = errno;
      struct stat st {};
      if (stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fault(StoreStatus::Failed, "cannot make " + prefix + ": " + FileErrorWords(error));
    }
    if (end == std::string::npos) return {StoreStatus::Ok, {}};
  }
}

// The items' folder, opened and checked: Missing when it is not there and
// `make` is false.
StoreOutcome OpenFolder(bool make, Fd& folder, std::string& path) {
  path = KeptFolder();
  if (path.empty()) return Fault(StoreStatus::Failed, "no home folder for this user");
  if (make) {
    StoreOutcome made = MakeFolders(path);
    if (made.status != StoreStatus::Ok) return made;
  }
  // O_NOFOLLOW: a link put in place of the folder would lead elsewhere.
  Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    const int error = errno;
    if (error == ENOENT && !make) return Fault(StoreStatus::Missing, {});
    if (error == ELOOP || error == ENOTDIR)
      return Fault(StoreStatus::Refused, "the folder is a link or no folder: " + path);
    return Fault(StoreStatus::Failed, "cannot open " + path + ": " + FileErrorWords(error));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0)
    return Fault(StoreStatus::Failed, "cannot examine " + path + ": " + FileErrorWords(errno));
  // Others may read the folder's names, but not add, remove or rename.
  StoreOutcome checked = CheckOwnership(st, 022, "the folder", path);
  if (checked.status == StoreStatus::Ok) folder = std::move(fd);
  return checked;
}

// A name the caller made is one file in the folder: never a path, nor
// one of the folder's own entries.
bool IsItemName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// A temporary file beside the item, removed unless it was renamed.
class TempFile {
 public:
  TempFile(int folder, std::string name) : folder_(folder), name_(std::move(name)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!kept_) unlinkat(folder_, name_.c_str(), 0);
  }
  const char* name() const { return name_.c_str(); }
  void Keep() { kept_ = true; }

 private:
  int folder_;
  std::string name_;
  bool kept_ = false;
};

StoreOutcome ReadItem(const std::string& name, std::string& out) {
  Fd folder;
  std::string path;
  StoreOutcome opened = OpenFolder(false, folder, path);
  if (opened.status != StoreStatus::Ok) return opened;
  path += "/" + name;
  // O_NONBLOCK: a FIFO put in its place does not hold the open up.
  Fd file(openat(folder.get(), name.c_str(),
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    const int error = errno;
    if (error == ENOENT) return Fault(StoreStatus::Missing, {});
    if (error == ELOOP)
      return Fault(StoreStatus::Refused, "the file is a symbolic link, not followed: " + path);
    return Fault(StoreStatus::Failed, "cannot open " + path + ": " + FileErrorWords(error));
  }
  struct stat st {};
  if (fstat(file.get(), &st) != 0)
    return Fault(StoreStatus::Failed, "cannot examine " + path + ": " + FileErrorWords(errno));
  if (!S_ISREG(st.st_mode))
    return Fault(StoreStatus::Refused, "the file is not a regular file: " + path);
  StoreOutcome checked = CheckOwnership(st, 077, "the file", path);
  if (checked.status != StoreStatus::Ok) return checked;
  if (st.st_size > kMaxItem)
    return Fault(StoreStatus::Damaged, "the file is larger than an item can be (" +
                                           std::to_string(st.st_size) + " bytes): " + path);
  out.resize(static_cast<size_t>(st.st_size));
  for (size_t done = 0; done < out.size();) {
    const ssize_t n = read(file.get(), out.data() + done, out.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      return Fault(StoreStatus::Damaged, "the file is cut short: " + path);
    } else if (errno != EINTR) {
      return Fault(StoreStatus::Failed, "cannot read " + path + ": " + FileErrorWords(errno));
    }
  }
  return {StoreStatus::Ok, {}};
}

StoreOutcome WriteItem(const std::string& name, std::string_view bytes) {
  Fd folder;
  std::string path;
  StoreOutcome opened = OpenFolder(true, folder, path);
  if (opened.status != StoreStatus::Ok) return opened;
  const std::string target = path + "/" + name;
  // A name of this process's own, so that two writers never share a file;
  // O_EXCL takes another when a file of a process gone is still there.
  static std::atomic<unsigned> written{0};
  Fd file;
  std::string tempName;
  for (int attempt = 0; attempt < 16 && !file.valid(); ++attempt) {
    tempName = "." + name + ".new-" + std::to_string(getpid()) + "-" +
               std::to_string(written.fetch_add(1));
    file = Fd(openat(folder.get(), tempName.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid() && errno != EEXIST) break;
  }
  if (!file.valid())
    return Fault(StoreStatus::Failed, "cannot write in " + path + ": " + FileErrorWords(errno));
  TempFile temp(folder.get(), tempName);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(file.get(), bytes.data() + done, bytes.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR)
      return Fault(StoreStatus::Failed, "cannot write " + target + ": " + FileErrorWords(errno));
  }
  // On the disk before the rename makes it the item: a crash then leaves
  // the old item or the new, never an empty file.
  if (fsync(file.get()) != 0)
    return Fault(StoreStatus::Failed, "cannot write " + target + ": " + FileErrorWords(errno));
  if (const int error = file.Close(); error != 0)
    return Fault(StoreStatus::Failed, "cannot write " + target + ": " + FileErrorWords(error));
  // rename(2) replaces the item at once: a reader sees the old or the new.
  if (renameat(folder.get(), temp.name(), folder.get(), name.c_str()) != 0)
    return Fault(StoreStatus::Failed, "cannot replace " + target + ": " + FileErrorWords(errno));
  temp.Keep();
  // The rename itself lasts once the folder is on the disk too.
  fsync(folder.get());
  return {StoreStatus::Ok, {}};
}

StoreOutcome RemoveItem(const std::string& name) {
  Fd folder;
  std::string path;
  StoreOutcome opened = OpenFolder(false, folder, path);
  if (opened.status != StoreStatus::Ok) return opened;
  if (unlinkat(folder.get(), name.c_str(), 0) == 0) return {StoreStatus::Ok, {}};
  if (errno == ENOENT) return Fault(StoreStatus::Missing, {});
  return Fault(StoreStatus::Failed,
               "cannot remove " + path + "/" + name + ": " + FileErrorWords(errno));
}

// The checks every request shares, and no exception out of the layer.
template <class F>
StoreOutcome Guarded(std::string_view name, F request) noexcept {
  try {
    if (!IsItemName(name)) return Fault(StoreStatus::Failed, "not a name an item can have");
    return request(std::string(name));
  } catch (const std::bad_alloc&) {
    return Fault(StoreStatus::Failed, std::string(file_words::kOutOfMemory));
  }
}

}  // namespace

std::string KeptFolder() {
  const std::string state = StateFolder();
  return state.empty() ? std::string() : state + "/vtl/grants";
}

StoreOutcome ReadKept(std::string_view name, std::string& out) {
  Wipe(out.data(), out.size());
  out.clear();
  StoreOutcome outcome =
      Guarded(name, [&](const std::string& item) { return ReadItem(item, out); });
  if (outcome.status != StoreStatus::Ok) {
    Wipe(out.data(), out.size());
    out.clear();
  }
  return outcome;
}

StoreOutcome WriteKept(std::string_view name, std::string_view bytes) {
  return Guarded(name, [&](const std::string& item) { return WriteItem(item, bytes); });
}

StoreOutcome RemoveKept(std::string_view name) {
  return Guarded(name, [](const std::string& item) { return RemoveItem(item); });
}

}  // namespace vtl::platform
