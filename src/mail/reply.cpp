#include "mail/reply.h"

#include <cstring>
#include <string_view>

namespace vtl::mail {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void ReplyReader::Feed(const char* data, size_t size) {
  if (failed_ != Status::NeedMore) return;
  if (start_ > 0 && start_ >= pending_.size() / 2) {
    pending_.erase(0, start_);
    start_ = 0;
  }
  pending_.append(data, size);
}

ReplyReader::Status ReplyReader::Next(int& code) {
  if (failed_ != Status::NeedMore) return failed_;
  size_t lineStart = start_;
  for (;;) {
    const char* base = pending_.data();
    const size_t from = lineStart + (lineStart == start_ ? scanned_ : 0);
    const void* lf =
        from < pending_.size() ? std::memchr(base + from, '\n', pending_.size() - from) : nullptr;
    if (lf == nullptr) {
      // A reply of endless continuation lines is bounded as well.
      if (pending_.size() - lineStart > maxLine_ || pending_.size() - start_ > 16 * maxLine_)
        return failed_ = Status::TooLong;
      // Lines already checked are kept, but a partial reply is not taken:
      // it will be read again, whole, once its last line is in.
      if (lineStart == start_) scanned_ = pending_.size() - start_;
      return Status::NeedMore;
    }
    const size_t end = static_cast<const char*>(lf) - base;
    // The CR of CR LF is not part of the line; a bare LF ends a line too.
    std::string_view line(base + lineStart, end - lineStart);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > maxLine_) return failed_ = Status::TooLong;
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]) ||
        (line.size() > 3 && line[3] != ' ' && line[3] != '-'))
      return failed_ = Status::Malformed;
    lineStart = end + 1;
    // "ddd-" continues the reply; "ddd " or a bare "ddd" ends it.
    if (line.size() > 3 && line[3] == '-') continue;
    code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    start_ = lineStart;
    scanned_ = 0;
    return Status::Complete;
  }
}

}  // namespace vtl::mail
