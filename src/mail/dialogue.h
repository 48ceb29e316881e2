// The wire of one SMTP conversation: command lines out, whole replies in,
// each within its time-out, and the data section gathered into large writes.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "mail/message.h"
#include "mail/reply.h"
#include "mail/session.h"
#include "platform/platform.h"

namespace vtl::mail {

// Lines of the data section go out in writes of about this size: small
// enough that the server starts reading while the rest is converted, large
// enough that the system's calls and the server's wake-ups cost little.
inline constexpr size_t kDataChunk = 64 * 1024;

class Dialogue {
 public:
  Dialogue(const Timeouts& timeouts, const Trace& trace) : timeouts_(timeouts), trace_(trace) {}

  void Attach(Connection& connection) { connection_ = &connection; }

  // Goes on over `connection` (secured now) and forgets every byte read
  // before: nothing learnt in clear may count afterwards.
  void Restart(Connection& connection) {
    connection_ = &connection;
    reader_ = ReplyReader();
  }

  // Loops until every byte is out: short sends and interruptions are
  // normal. Fails on an error, or when no byte moves within the send
  // time-out.
  bool SendAll(std::string_view bytes);

  // A command line, shown in a trace as `shown` where it holds a secret.
  bool SendLine(std::string_view line, std::string_view shown = {}) {
    if (trace_) {
      std::string_view text = shown.empty() ? line : shown;
      if (text.ends_with("\r\n")) text.remove_suffix(2);
      trace_(TraceKind::Sent, text);
    }
    return SendAll(line);
  }

  // Command lines in one write, for a server that takes them pipelined.
  bool SendLines(std::span<const std::string_view> lines);

  // The code of the next whole reply, or -1 when none arrives in time, the
  // connection ends, or the server sends something that is not a reply.
  int ReadReply(Millis timeout);

  // Sends a command and gives the code of its reply, or -1 as ReadReply.
  int Exchange(std::string_view line, Millis timeout, std::string_view shown = {}) {
    return SendLine(line, shown) ? ReadReply(timeout) : -1;
  }

  // The reply ReadReply returned last, line ends included.
  std::string_view LastReply() const { return reader_.LastReply(); }
  // Whether the server sent more than the replies read so far, read or
  // still waiting on the connection: where it must wait for our next
  // command, such bytes answer nothing sent and break the dialogue.
  bool SentAhead() const { return reader_.HasMore() || connection_->Unread() > 0; }
  // Why the last send or reply failed, in words.
  const std::string& Why() const { return why_; }

  // What a step came to: the server's reply as it was sent (during a
  // login, its codes alone), with a hint for well-known refusals and
  // whether the refusal is for now or for good; or why there was none.
  std::string Said(int code) const;

  // While a login is under way its replies may echo the credentials: a
  // trace and a detail show their codes alone.
  void LoginUnderWay(bool on) {
    login_ = on;
    loggedIn_ = loggedIn_ || on;
  }

  // The reply read last as a trace shows it.
  std::string Shown() const;

  // The server is told we are leaving, if it still listens; its answer
  // changes nothing, so it is not waited for long.
  // Keeps the reason of the failure before it, if any.
  void QuitQuietly();

 private:
  // Notes why a send or a reply failed: `what`, then the time-out it ran
  // out of, or a few bytes of what came. Never throws: a reason that finds
  // no memory is left out, and a failure after delivery stays harmless.
  bool Failed(const char* what, Millis timeout = {}, std::string_view bytes = {}) noexcept;

  Connection* connection_ = nullptr;
  const Timeouts& timeouts_;
  const Trace& trace_;
  ReplyReader reader_;
  std::string why_;
  bool login_ = false;
  bool loggedIn_ = false;  // a login was made: a line that is no reply is not quoted
  char buffer_[4096];
};

// Gathers the lines of the data section into large writes.
class DataWriter : public LineSink {
 public:
  explicit DataWriter(Dialogue& dialogue) : dialogue_(dialogue) { pending_.reserve(kDataChunk); }

  bool Line(std::string_view line) override { return Put(line); }
  bool Lines(std::string_view lines) override { return Put(lines); }

  bool Flush() {
    const bool ok = dialogue_.SendAll(pending_);
    sent_ += pending_.size();
    pending_.clear();
    return ok;
  }
  size_t sent() const { return sent_; }

 private:
  bool Put(std::string_view bytes) {
    // Flushing first keeps the buffer at the size it was given.
    if (pending_.size() + bytes.size() > kDataChunk && !pending_.empty() && !Flush()) return false;
    if (bytes.size() < kDataChunk) {
      pending_.append(bytes);
      return true;
    }
    // A piece that would fill the buffer alone (a run of the body's lines,
    // a file's base64) goes out from where it lies, in as few writes as the
    // connection takes.
    sent_ += bytes.size();
    return dialogue_.SendAll(bytes);
  }

  Dialogue& dialogue_;
  std::string pending_;
  size_t sent_ = 0;
};

// "VERB argument close" CR LF.
std::string Command(std::string_view verb, std::string_view argument, std::string_view close);

}  // namespace vtl::mail
