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
    line_ -= start_;
    scan_ -= start_;
    start_ = lastStart_ = 0;
  }
  pending_.append(data, size);
}

ReplyReader::Status ReplyReader::Next(int& code) {
  if (failed_ != Status::NeedMore) return failed_;
  for (;;) {
    const char* base = pending_.data();
    const void* lf = scan_ < pending_.size()
                         ? std::memchr(base + scan_, '\n', pending_.size() - scan_)
                         : nullptr;
    if (lf == nullptr) {
      scan_ = pending_.size();
      // The CR of a CR LF still to come does not count against the line.
      const size_t partial = pending_.size() - line_;
      const size_t allowed = maxLine_ + (partial > 0 && pending_.back() == '\r' ? 1 : 0);
      // A reply of endless continuation lines is bounded as well.
      if (partial > allowed || pending_.size() - start_ > 16 * maxLine_)
        return failed_ = Status::TooLong;
      return Status::NeedMore;
    }
    const size_t end = static_cast<const char*>(lf) - base;
    // The CR of CR LF is not part of the line; a bare LF ends a line too.
    std::string_view line(base + line_, end - line_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > maxLine_) return failed_ = Status::TooLong;
    // RFC 5321 4.2: three digits, the first of them 1 to 5.
    if (line.size() < 3 || line[0] < '1' || line[0] > '5' || !IsDigit(line[1]) ||
        !IsDigit(line[2]) || (line.size() > 3 && line[3] != ' ' && line[3] != '-'))
      return failed_ = Status::Malformed;
    line_ = scan_ = end + 1;
    // "ddd-" continues the reply; "ddd " or a bare "ddd" ends it.
    if (line.size() > 3 && line[3] == '-') continue;
    code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    lastStart_ = start_;
    start_ = line_;
    return Status::Complete;
  }
}

}  // namespace vtl::mail
