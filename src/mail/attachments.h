// Files sent with a message: the list of paths the caller gives, each file
// opened and sized before anything is sent, and read, encoded and written
// as the message goes out, so that no file is ever held whole.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jtext/recode.h"
#include "mail/message.h"
#include "platform/platform.h"

namespace vtl::mail {

inline constexpr size_t kMaxAttachments = 100;

using FileOpener = std::function<FileOpened(std::string_view path, unsigned codePage)>;

struct Attachment {
  std::string shownPath;  // the path in UTF-8, for a detail
  std::string name;       // the name the reader sees: the base name, UTF-8, NFC
  uint64_t size = 0;      // when opened
  std::unique_ptr<InputFile> file;
};

// Opens every file of `paths` (one per line, CR LF or LF; blank lines
// ignored), given in the host's code page, which `toUtf8` reads. With
// `backslashSeparates`, a '\' ends a folder's name as '/' does (Windows);
// the base name is taken after conversion, so a Shift_JIS trail byte that
// is 0x5C cuts nothing. False with `why` for a path that holds a control
// character, names no file's name, or cannot be opened, which it names
// with the system's reason.
bool OpenAttachments(std::string_view paths, unsigned codePage, jtext::ToUtf8& toUtf8,
                     bool backslashSeparates, const FileOpener& open, std::vector<Attachment>& out,
                     std::string& why);

// The file's content as base64 lines, read and encoded a piece at a time.
// False when the sink stopped (`why` empty), or when the file could not be
// read to its end or was no longer the size it had when it was opened
// (`why` says so): a part cut short must not pass for the whole file.
bool WriteFileContent(Attachment& attachment, LineSink& sink, std::string& why);

}  // namespace vtl::mail
