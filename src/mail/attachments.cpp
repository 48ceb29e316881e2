#include "mail/attachments.h"

#include "jtext/nfc.h"
#include "mail/detail.h"
#include "mail/mime_parts.h"

namespace vtl::mail {
namespace {

// Read in pieces of this size: a whole number of base64 groups, large
// enough that the system's reads cost little beside the encoding.
constexpr size_t kReadPiece = 57 * 1024;

std::string Shown(std::string_view utf8Path) {
  std::string shown;
  AppendPrintable(shown, utf8Path, 200);
  return shown;
}

}  // namespace

bool OpenAttachments(std::string_view paths, unsigned codePage, jtext::ToUtf8& toUtf8,
                     bool backslashSeparates, const FileOpener& open, std::vector<Attachment>& out,
                     std::string& why) {
  while (!paths.empty()) {
    const size_t lf = paths.find('\n');
    std::string_view path = paths.substr(0, lf);
    paths.remove_prefix(lf == std::string_view::npos ? paths.size() : lf + 1);
    if (path.ends_with('\r')) path.remove_suffix(1);
    if (path.find_first_not_of(" \t") == std::string_view::npos) continue;
    // Each file stays open until the message is sent.
    if (out.size() == kMaxAttachments) {
      why = "attachments: more than " + std::to_string(kMaxAttachments) + " files";
      return false;
    }
    Attachment a;
    a.shownPath = toUtf8.Convert(path);
    for (char c : a.shownPath)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        why = "attachments: the path " + Shown(a.shownPath) +
              " holds a control character (a lone CR, a tab, ...)";
        return false;
      }
    const size_t cut = a.shownPath.find_last_of(backslashSeparates ? "/\\" : "/");
    a.name = jtext::ToNfc(cut == std::string::npos ? a.shownPath : a.shownPath.substr(cut + 1));
    if (a.name.empty()) {
      why = "attachments: " + Shown(a.shownPath) + " names a folder, not a file";
      return false;
    }
    FileOpened opened = open(path, codePage);
    if (!opened.file) {
      why = "attachments: " + Shown(a.shownPath) + ": " + opened.why;
      return false;
    }
    a.size = opened.size;
    a.file = std::move(opened.file);
    out.push_back(std::move(a));
  }
  return true;
}

bool WriteFileContent(Attachment& a, LineSink& sink, std::string& why) {
  std::string buffer(kReadPiece, '\0');
  std::string lines;
  lines.reserve(static_cast<size_t>(Base64LinesSize(kReadPiece)) + 80);
  Base64Lines encoder;
  uint64_t read = 0;
  auto changed = [&](const std::string& how) {
    why = "attachments: " + Shown(a.shownPath) + " " + how + " while it was sent (" +
          std::to_string(a.size) + " bytes when it was opened)";
    return false;
  };
  for (;;) {
    // One byte past the size it had: a file that grew is no longer the one
    // that was measured either.
    const uint64_t left = a.size - read;
    const size_t want = left >= kReadPiece ? kReadPiece : static_cast<size_t>(left) + 1;
    const IoResult r = a.file->Read(buffer.data(), want);
    if (r.status == IoStatus::Closed) break;
    if (r.status != IoStatus::Ok || r.bytes == 0 || r.bytes > want) {
      why = "attachments: " + Shown(a.shownPath) + " could not be read: " + a.file->Why();
      return false;
    }
    if (r.bytes > left) return changed("grew");
    read += r.bytes;
    lines.clear();
    encoder.Feed(std::string_view(buffer.data(), r.bytes), lines);
    if (!lines.empty() && !sink.Lines(lines)) return false;
  }
  if (read != a.size) return changed("was cut to " + std::to_string(read) + " bytes");
  if (a.file->ChangedSinceOpened()) return changed("was written to");
  lines.clear();
  encoder.Finish(lines);
  return lines.empty() || sink.Lines(lines);
}

}  // namespace vtl::mail
