// Turns the bytes a server sends into complete SMTP replies. No I/O here:
// bytes go in through Feed, replies come out of Next.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vtl::mail {

class ReplyReader {
 public:
  enum class Status {
    NeedMore,   // no complete reply yet: feed more bytes
    Complete,   // a whole reply was taken; its code is in `code`
    Malformed,  // a line that is not "ddd", "ddd text" or "ddd-text"
    TooLong,    // a line longer than the limit, or a reply longer than 16 lines' worth
  };

  static constexpr size_t kDefaultMaxLine = 64 * 1024;

  // Room for ordinary replies is taken here, so that reading them later
  // cannot fail for want of memory.
  explicit ReplyReader(size_t maxLine = kDefaultMaxLine) : maxLine_(maxLine) {
    pending_.reserve(8192);
  }

  void Feed(const char* data, size_t size);

  // Takes the next complete reply from what was fed, if there is one. Bytes
  // after it stay for the next call: they answer the next command. After
  // Malformed or TooLong the reader stays in that state.
  Status Next(int& code);

  // The lines of the reply Next took last, with their line ends; valid
  // until the next Feed.
  std::string_view LastReply() const {
    return std::string_view(pending_).substr(lastStart_, start_ - lastStart_);
  }

  // After Malformed: the line that was not a reply line, and what came
  // after it.
  std::string_view FailedLine() const { return std::string_view(pending_).substr(line_); }

  // Whether bytes after the last complete reply have arrived.
  bool HasMore() const { return pending_.size() > start_; }

 private:
  std::string pending_;
  size_t lastStart_ = 0;  // first byte of the reply taken last
  size_t start_ = 0;      // first byte of the reply being read
  size_t line_ = 0;       // first byte of its line being read; the lines before it continue it
  size_t scan_ = 0;       // bytes before this hold no LF of the line being read
  size_t maxLine_;
  Status failed_ = Status::NeedMore;
};

}  // namespace vtl::mail
