#include "mail/dialogue.h"

#include <chrono>

#include "mail/detail.h"

namespace vtl::mail {
namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

bool Dialogue::SendAll(std::string_view bytes) {
  auto deadline = Clock::now() + timeouts_.send;
  while (!bytes.empty()) {
    const auto left = std::chrono::ceil<Millis>(deadline - Clock::now());
    if (left <= Millis::zero()) return Failed("the server took nothing for", timeouts_.send);
    const IoResult r = connection_->Send(bytes.data(), bytes.size(), left);
    if (r.status == IoStatus::Interrupted) continue;
    if (r.status == IoStatus::TimedOut)
      return Failed("the server took nothing for", timeouts_.send);
    if (r.status != IoStatus::Ok || r.bytes == 0 || r.bytes > bytes.size())
      return Failed("the connection broke while sending");
    bytes.remove_prefix(r.bytes);
    deadline = Clock::now() + timeouts_.send;
  }
  return true;
}

bool Dialogue::SendLines(std::span<const std::string_view> lines) {
  std::string all;
  for (std::string_view line : lines) {
    if (trace_) trace_(TraceKind::Sent, line.substr(0, line.size() - 2));
    all.append(line);
  }
  return SendAll(all);
}

int Dialogue::ReadReply(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int code = 0;
    switch (reader_.Next(code)) {
      case ReplyReader::Status::Complete:
        if (trace_) trace_(TraceKind::Received, Shown());
        return code;
      case ReplyReader::Status::NeedMore:
        break;
      case ReplyReader::Status::Malformed:
        if (loggedIn_) return Failed("a malformed reply (not shown: it may echo the login)"), -1;
        return Failed("a malformed reply:", {}, reader_.FailedLine()), -1;
      case ReplyReader::Status::TooLong:
        return Failed("a reply too long (a line over 64 KiB, or over 1 MiB in all)"), -1;
    }
    const auto left = std::chrono::ceil<Millis>(deadline - Clock::now());
    if (left <= Millis::zero()) return Failed("no reply within", timeout), -1;
    const IoResult r = connection_->Receive(buffer_, sizeof buffer_, left);
    if (r.status == IoStatus::Interrupted) continue;
    if (r.status == IoStatus::TimedOut) return Failed("no reply within", timeout), -1;
    if (r.status == IoStatus::Closed) return Failed("the server closed the connection"), -1;
    if (r.status != IoStatus::Ok || r.bytes == 0 || r.bytes > sizeof buffer_)
      return Failed("the connection broke"), -1;
    reader_.Feed(buffer_, r.bytes);
  }
}

std::string Dialogue::Said(int code) const {
  if (code < 0) return why_;
  bool cut = false;
  std::string said = login_ ? LoginReplyHead(LastReply(), cut) : QuoteReply(LastReply());
  std::string notes(HintFor(said));
  for (std::string_view note :
       {RefusalKind(code),
        cut ? "the rest of the reply is not shown: it may echo the login" : std::string_view()})
    if (!note.empty()) notes.append(notes.empty() ? "" : "; ").append(note);
  if (!notes.empty()) said.append(" (").append(notes).append(")");
  return said;
}

std::string Dialogue::Shown() const {
  if (!login_) return QuoteReply(LastReply());
  bool cut = false;
  std::string head = LoginReplyHead(LastReply(), cut);
  return cut ? head + " <not shown>" : head;
}

void Dialogue::QuitQuietly() {
  std::string why;
  why.swap(why_);
  if (SendLine("QUIT\r\n")) ReadReply(timeouts_.quit);
  why_.swap(why);
}

bool Dialogue::Failed(const char* what, Millis timeout, std::string_view bytes) noexcept {
  try {
    why_ = what;
    if (timeout > Millis::zero()) why_.append(" ").append(TimeText(timeout));
    if (!bytes.empty()) {
      bytes = bytes.substr(0, bytes.find('\n'));
      if (bytes.ends_with('\r')) bytes.remove_suffix(1);
      why_.push_back(' ');
      AppendPrintable(why_, bytes, 80);
    }
  } catch (...) {
    why_.clear();
  }
  return false;
}

std::string Command(std::string_view verb, std::string_view argument, std::string_view close) {
  std::string line(verb);
  line.append(argument).append(close).append("\r\n");
  return line;
}

}  // namespace vtl::mail
