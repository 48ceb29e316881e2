#include "mail/session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "mail/address_list.h"
#include "mail/auth.h"
#include "mail/detail.h"
#include "mail/message.h"
#include "mail/reply.h"
#include "mail/server_url.h"
#include "vtl.h"

namespace vtl::mail {
namespace {

using Clock = std::chrono::steady_clock;

// Lines of the data section go out in writes of about this size: small
// enough that the server starts reading while the rest is converted.
constexpr size_t kDataChunk = 16 * 1024;

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
  bool SendAll(std::string_view bytes) {
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
  bool SendLines(std::initializer_list<std::string_view> lines) {
    std::string all;
    for (std::string_view line : lines) {
      if (trace_) trace_(TraceKind::Sent, line.substr(0, line.size() - 2));
      all.append(line);
    }
    return SendAll(all);
  }

  // The code of the next whole reply, or -1 when none arrives in time, the
  // connection ends, or the server sends something that is not a reply.
  int ReadReply(Millis timeout) {
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
  std::string Said(int code) const {
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

  // While a login is under way its replies may echo the credentials: a
  // trace and a detail show their codes alone.
  void LoginUnderWay(bool on) {
    login_ = on;
    loggedIn_ = loggedIn_ || on;
  }

  // The reply read last as a trace shows it.
  std::string Shown() const {
    if (!login_) return QuoteReply(LastReply());
    bool cut = false;
    std::string head = LoginReplyHead(LastReply(), cut);
    return cut ? head + " <not shown>" : head;
  }

  // The server is told we are leaving, if it still listens; its answer
  // changes nothing, so it is not waited for long.
  // Keeps the reason of the failure before it, if any.
  void QuitQuietly() {
    std::string why;
    why.swap(why_);
    if (SendLine("QUIT\r\n")) ReadReply(timeouts_.quit);
    why_.swap(why);
  }

 private:
  // Notes why a send or a reply failed: `what`, then the time-out it ran
  // out of, or a few bytes of what came. Never throws: a reason that finds
  // no memory is left out, and a failure after delivery stays harmless.
  bool Failed(const char* what, Millis timeout = {}, std::string_view bytes = {}) noexcept {
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

  bool Line(std::string_view line) override {
    // Flushing first keeps the buffer at the size it was given.
    if (pending_.size() + line.size() > kDataChunk && !pending_.empty() && !Flush()) return false;
    pending_.append(line);
    return true;
  }

  bool Flush() {
    const bool ok = dialogue_.SendAll(pending_);
    sent_ += pending_.size();
    pending_.clear();
    return ok;
  }
  size_t sent() const { return sent_; }

 private:
  Dialogue& dialogue_;
  std::string pending_;
  size_t sent_ = 0;
};

bool HasLineBreak(const char* s) {
  return std::strpbrk(s, "\r\n") != nullptr;
}

std::string Command(std::string_view verb, std::string_view argument, std::string_view close) {
  std::string line(verb);
  line.append(argument).append(close).append("\r\n");
  return line;
}

// How the client names itself in EHLO: by the host's name when that is a
// domain, else by the address literal of its end of the connection.
std::string EhloCommand(const std::string& hostName, Connection& connection) {
  std::string name = hostName;
  if (name.find('.') == std::string::npos || name.front() == '.' || name.back() == '.') {
    name = connection.LocalAddressLiteral();
    if (name.empty()) name = hostName.empty() ? "localhost" : hostName;
  }
  return Command("EHLO ", name, "");
}

const char* MechanismName(Mechanism m) {
  switch (m) {
    case Mechanism::Plain:
      return "PLAIN";
    case Mechanism::Login:
      return "LOGIN";
    case Mechanism::XOAuth2:
      return "XOAUTH2";
    case Mechanism::Any:
      break;
  }
  return "any";
}

// The login, over TLS, with the mechanisms the server offered there. A
// refusal ends it: trying another mechanism would only show the server
// the same secret again. While it is under way a detail or a trace shows
// only the codes of a reply, which no echo of the secret can reach.
int LogIn(Dialogue& d, const ServerAddress& server, const Extensions& offered, Millis timeout,
          std::string& why) {
  const Mechanism mechanism =
      offered.auth ? ChooseMechanism(server.mechanism, offered) : Mechanism::Any;
  if (mechanism == Mechanism::Any) {
    std::string mechanisms;
    AppendPrintable(mechanisms, offered.mechanisms, 200);
    if (!offered.auth)
      why = "the server offers no login over TLS (no AUTH in its EHLO reply)";
    else if (server.mechanism != Mechanism::Any)
      why = std::string("the server does not offer AUTH ") + MechanismName(server.mechanism) +
            ", which the URL asks for; it offers AUTH " + mechanisms;
    else
      why = "no login mechanism in common: the server offers AUTH " + mechanisms +
            "; vtl logs in with PLAIN or LOGIN, or XOAUTH2 where the URL asks for it";
    d.QuitQuietly();
    return VTL_SEND_AUTH_FAILED;
  }
  const std::string step = std::string("AUTH ") + MechanismName(mechanism);
  const std::string shown = step + (mechanism == Mechanism::Login ? "" : " <hidden>");
  Secret command;
  AuthCommand(mechanism, server, command);
  d.LoginUnderWay(true);
  int code = d.Exchange(command.view(), timeout, shown);
  std::string challenge;
  if (mechanism == Mechanism::Login) {
    // Two challenges, the user's name and then the password; their text
    // is not read.
    for (const Secret* answer : {&server.user, &server.password}) {
      if (code != 334) break;
      Secret line;
      AppendBase64(answer->view(), line);
      code = d.Exchange(line.Append("\r\n").view(), timeout, "<hidden>");
    }
  } else if (mechanism == Mechanism::XOAuth2 && code == 334) {
    // The token was not taken: the challenge (base64 of a JSON text) says
    // why, and an empty line ends the exchange (with 535).
    std::string_view reply = d.LastReply();
    reply.remove_prefix(std::min<size_t>(4, reply.size()));
    while (!reply.empty() && (reply.back() == '\r' || reply.back() == '\n')) reply.remove_suffix(1);
    challenge = XOAuth2ChallengeFields(reply, server.password.view());
    code = d.Exchange("\r\n", timeout);
  }
  if (code / 100 == 2) {
    d.LoginUnderWay(false);
    return VTL_SEND_OK;
  }
  why = step + ": " + d.Said(code);
  if (!challenge.empty()) why += "; the server's challenge said " + challenge;
  if (code >= 0) {
    // A challenge nothing answers: "*" cancels the exchange (RFC 4954 4).
    if (code == 334) d.Exchange("*\r\n", timeout);
    d.QuitQuietly();
  }
  d.LoginUnderWay(false);
  return code < 0 ? VTL_SEND_DIALOGUE_FAILED : VTL_SEND_AUTH_FAILED;
}

// For a URL: TLS, EHLO over it, and the login when a user was given. 0 when
// the mail may follow, with what the last EHLO reply offered in `offered`.
// A server that offers no STARTTLS, refuses it, or slips bytes in after its
// go-ahead gets nothing more: no login, no mail.
int Secure(Dialogue& d, std::unique_ptr<Connection>& connection, ServerAddress& server,
           uint16_t port, const SendEnv& env, Extensions& offered, std::string& why) {
  const Timeouts& t = env.timeouts;
  // RFC 6066 3: a name sent as SNI has no trailing dot, and certificates
  // name hosts without one; the resolver was given it as written.
  std::string_view name = server.host;
  if (!server.hostIsAddress && name.ends_with('.')) name.remove_suffix(1);
  TlsPeer peer;
  peer.host = name;
  peer.hostIsAddress = server.hostIsAddress;
  peer.caFile = env.caFile;
  peer.timeout = t.handshake;
  peer.port = port;
  peer.trustOption = env.trustOption;
  auto startTls = [&]() {
    TlsOutcome secured = env.tls ? env.tls(std::move(connection), peer)
                                 : platform::StartTls(std::move(connection), peer);
    if (secured.result == 0 && !secured.connection) secured.result = VTL_SEND_TLS_FAILED;
    if (secured.result != 0) {
      why =
          "TLS: " + (secured.detail.empty() ? std::string("the handshake failed") : secured.detail);
      return secured.result;
    }
    if (env.trace && !secured.detail.empty()) env.trace(TraceKind::Info, secured.detail);
    connection = std::move(secured.connection);
    d.Restart(*connection);
    return 0;
  };
  const std::string ehlo = EhloCommand(env.hostName, *connection);
  // EHLO only: a client that fell back to HELO could not ask for TLS.
  auto hello = [&]() {
    const int code = d.Exchange(ehlo, t.other);
    if (code / 100 == 2) return 0;
    why = "EHLO: " + d.Said(code);
    if (code > 0) d.QuitQuietly();
    return code < 0 ? VTL_SEND_DIALOGUE_FAILED : VTL_SEND_TLS_FAILED;
  };

  if (server.security == Security::Implicit)
    if (const int r = startTls()) return r;
  if (const int code = d.ReadReply(t.urlGreeting); code / 100 != 2) {
    why = "greeting: " + d.Said(code);
    // A server that waits in silence may be waiting for a TLS handshake.
    if (code < 0 && server.security == Security::StartTls)
      why += " (a port that takes TLS from the start, such as 465, takes smtps://)";
    // One that never spoke SMTP is not held to it: a QUIT would only hold
    // the host for its reply a while longer.
    if (code >= 0) d.QuitQuietly();
    return VTL_SEND_DIALOGUE_FAILED;
  }
  if (const int r = hello()) return r;
  if (server.security == Security::StartTls) {
    if (!ParseEhlo(d.LastReply()).startTls) {
      why =
          "the server does not offer STARTTLS, so nothing more was sent (a port that takes TLS "
          "from the start, such as 465, takes smtps://)";
      d.QuitQuietly();
      return VTL_SEND_TLS_FAILED;
    }
    const int code = d.Exchange("STARTTLS\r\n", t.other);
    if (code != 220) {
      why = "STARTTLS: " + d.Said(code);
      if (code > 0) d.QuitQuietly();
      return VTL_SEND_TLS_FAILED;
    }
    // Bytes before the handshake were not sent by the server we are about
    // to check; they may be replies meant to be read as if sent over TLS.
    if (d.SentAhead()) {
      why =
          "the server sent more after its go-ahead for STARTTLS; nothing read in clear may "
          "count over TLS, so nothing more was sent";
      return VTL_SEND_TLS_FAILED;
    }
    if (const int r = startTls()) return r;
    if (const int r = hello()) return r;
  }
  offered = ParseEhlo(d.LastReply());
  if (!server.login) return VTL_SEND_OK;
  const int result = LogIn(d, server, offered, t.other, why);
  server.user.Clear();
  server.password.Clear();
  // The go-ahead ends the answer to the login: bytes already after it
  // answer nothing sent, and would be read as MAIL's reply, quoted whole,
  // where they may echo the credentials.
  if (result == VTL_SEND_OK && d.SentAhead()) {
    why =
        "the server sent more after it took the login; the dialogue is broken, so nothing more "
        "was sent";
    return VTL_SEND_DIALOGUE_FAILED;
  }
  return result;
}

// The mail after DATA: the header block, and the body as WriteBodyLines
// takes it. ISO-2022-JP and plain text are converted as they are sent;
// UTF-8 is encoded whole beforehand.
struct Composition {
  std::string headers;
  jtext::TextMode mode;
  std::optional<jtext::ToShiftJis> toShiftJis;
  std::string_view body;    // the caller's
  std::string encodedBody;  // when not empty, the body instead
  std::string_view Body() const {
    return encodedBody.empty() ? body : std::string_view(encodedBody);
  }
};

// A locale that names no codeset, or ASCII, says nothing of bytes from 0x80
// up; they are read as UTF-8, the text of nearly every such system today
// (containers, services, C programs run without a locale).
bool ReadsAsUtf8(const LocaleInfo& locale) {
  if (locale.codePage == jtext::kUtf8CodePage) return true;
  if (locale.codePage != 0) return locale.codePage == 20127;  // Windows' US-ASCII
  std::string name;
  for (char c : locale.codeset)
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
      name.push_back(c);
    else if (c >= 'A' && c <= 'Z')
      name.push_back(static_cast<char>(c - 'A' + 'a'));
  return name.empty() || name == "ansix341968" || name == "ascii" || name == "usascii" ||
         name == "646";
}

// How the texts go out:
// - Japanese mode: ISO-2022-JP, as long as it carries every character;
//   else the whole mail in UTF-8.
// - Otherwise: as they are when all ASCII, else the whole mail in UTF-8.
Composition Compose(const MailArgs& args, const SendEnv& env, jtext::TextMode mode,
                    std::string_view date, std::string_view messageId) {
  Composition c;
  std::string_view texts[] = {args.fromName, args.toName, args.subject, args.body};
  // A Japanese locale on another code page: the texts become code page 932
  // first, and from there go the way a code page 932 system's texts go.
  // Where the system has no such conversion, they go as from a system that
  // is not Japanese, rather than under a label they do not match.
  if (mode.japanese && !mode.shiftJis) {
    std::unique_ptr<Charsets> charsets = env.charsets ? env.charsets(env.locale) : nullptr;
    if (charsets) {
      c.toShiftJis.emplace(env.locale.codePage, std::move(charsets));
      mode = jtext::ShiftJisMode(true);
      // A byte-order mark that starts a UTF-8 text (a body read from a file
      // saved with one, say) marks the encoding; it is no character of the
      // text, and would arrive as a GETA MARK.
      if (env.locale.codePage == jtext::kUtf8CodePage)
        for (std::string_view& text : texts)
          if (text.starts_with(jtext::kUtf8ByteOrderMark))
            text.remove_prefix(jtext::kUtf8ByteOrderMark.size());
    } else {
      mode.japanese = false;
    }
  }
  bool utf8 = false;
  for (std::string_view text : texts)
    utf8 = utf8 || (!mode.japanese ? !jtext::IsAscii(text)
                    : c.toShiftJis ? c.toShiftJis->Loses(text)
                                   : jtext::HoldsIbmExtension(text));
  const auto [fromName, toName, subject, body] = texts;

  // The host's own text, read in its code page: through the conversions
  // already open, else through the system's, else as UTF-8. A code page 932
  // system that cannot read its own code page keeps ISO-2022-JP.
  unsigned codePage = env.locale.codePage;
  Charsets* charsets = c.toShiftJis ? c.toShiftJis->charsets() : nullptr;
  std::unique_ptr<Charsets> opened;
  if (utf8 && !charsets) {
    if (!ReadsAsUtf8(env.locale) && env.charsets) opened = env.charsets(env.locale);
    charsets = opened.get();
    if (!charsets) codePage = jtext::kUtf8CodePage;
    utf8 = charsets || !mode.japanese;
  }

  if (!utf8) {
    c.mode = mode;
    std::string fromName932, toName932, subject932;
    MessageTexts wire{args.fromAddress, fromName, args.toAddress, toName, subject};
    if (c.toShiftJis) {
      wire.fromName = fromName932 = c.toShiftJis->Convert(fromName);
      wire.toName = toName932 = c.toShiftJis->Convert(toName);
      wire.subject = subject932 = c.toShiftJis->Convert(subject);
    }
    c.headers = ComposeHeaderBlock(wire, mode, date, messageId);
    c.body = body;
    return c;
  }

  jtext::ToUtf8 toUtf8(codePage, charsets, mode.japanese);
  const std::string fromNameUtf8 = toUtf8.Convert(fromName);
  const std::string toNameUtf8 = toUtf8.Convert(toName);
  const std::string subjectUtf8 = toUtf8.Convert(subject);
  EncodedBody encoded = EncodeUtf8Body(toUtf8.Convert(body));
  c.headers = ComposeUtf8HeaderBlock(
      {args.fromAddress, fromNameUtf8, args.toAddress, toNameUtf8, subjectUtf8}, encoded.encoding,
      date, messageId);
  // The encoded lines are ASCII: they go as they are, dot-stuffed.
  c.mode = jtext::TextMode{};
  c.toShiftJis.reset();
  c.encodedBody = std::move(encoded.lines);
  return c;
}

// Which argument is wrong and how, or empty when none is.
std::string BadArgument(const MailArgs& args) {
  const struct {
    const char* name;
    const char* value;
  } all[] = {{"server", args.server},     {"fromAddress", args.fromAddress},
             {"fromName", args.fromName}, {"toAddress", args.toAddress},
             {"toName", args.toName},     {"subject", args.subject},
             {"body", args.body}};
  auto optional = [&](const char* name) {
    return args.namesOptional && (name == all[2].name || name == all[4].name);
  };
  for (const auto& a : all)
    if (a.value == nullptr && !optional(a.name)) return std::string(a.name) + " is null";
  for (const auto& a : all)
    if (a.value != nullptr && *a.value == '\0' && !optional(a.name))
      return std::string(a.name) + " is empty";
  // CR or LF here would end the command line early and let the rest of the
  // text pass for commands of its own.
  for (const auto& a : {all[0], all[1], all[3]})
    if (HasLineBreak(a.value)) return std::string(a.name) + " holds a line break (CR or LF)";
  return {};
}

// An address argument without the white space around it.
std::string_view Trimmed(std::string_view address) {
  const size_t first = address.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return address.substr(first, address.find_last_not_of(" \t") - first + 1);
}

// Why `address` (trimmed) is not the one bare address the argument `name`
// takes, or empty. A list or a display name would go to the server as one
// address and come back as a refusal that reads like a real one.
std::string NotOneAddress(const char* name, std::string_view address) {
  if (address.empty()) return std::string(name) + " is empty";
  // RFC 5321 4.5.3.1.3: a path is at most 256 octets, brackets included. A
  // longer address cannot be sent within the line limits, and no server
  // would take it.
  if (address.size() > kMaxAddressLength)
    return std::string(name) + " is longer than " + std::to_string(kMaxAddressLength) + " bytes (" +
           std::to_string(address.size()) + ")";
  // A quoted local part ("john doe"@example.com) may hold any of these.
  std::string_view rest = address;
  if (rest.starts_with('"')) {
    size_t end = 1;
    while (end < rest.size() && rest[end] != '"') end += rest[end] == '\\' ? 2 : 1;
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  if (rest.find_first_of(",;<> \t") != std::string_view::npos)
    return std::string(name) +
           " takes one bare address, such as hanako@example.jp: no list, no display name, no "
           "angle brackets";
  return {};
}

// "host:port", an IPv6 address in brackets.
std::string Endpoint(const ServerAddress& server, uint16_t port) {
  const bool v6 = server.host.find(':') != std::string::npos;
  std::string where;
  AppendPrintable(where, v6 ? "[" + server.host + "]" : server.host, 300);
  return where + ":" + std::to_string(port);
}

// What the network layer's result means when it says no more.
const char* ConnectFailure(int result) {
  switch (result) {
    case VTL_SEND_STARTUP_FAILED:
      return "the sockets layer could not be started";
    case VTL_SEND_RESOLVE_FAILED:
      return "the name did not resolve";
    case VTL_SEND_SOCKET_FAILED:
      return "no socket could be created";
    default:
      return "no address accepted the connection";
  }
}

int Run(const MailArgs& args, const SendEnv& env, std::string& detail) {
  const jtext::TextMode mode =
      jtext::DecideTextMode(env.locale.abbrevLangName, env.locale.codePage, env.locale.leadBytes);

  detail = BadArgument(args);
  if (!detail.empty()) return VTL_SEND_BAD_ARGUMENT;
  const std::string fromAddress(Trimmed(args.fromAddress)), toAddress(Trimmed(args.toAddress));
  for (const auto& [name, address] :
       {std::pair{"fromAddress", &fromAddress}, std::pair{"toAddress", &toAddress}}) {
    detail = NotOneAddress(name, *address);
    if (!detail.empty()) return VTL_SEND_BAD_ARGUMENT;
  }
  MailArgs trimmed = args;
  trimmed.fromAddress = fromAddress.c_str();
  trimmed.toAddress = toAddress.c_str();
  if (trimmed.fromName == nullptr) trimmed.fromName = "";
  if (trimmed.toName == nullptr) trimmed.toName = "";
  ServerAddress server;
  std::string wrong;
  if (!ParseServer(args.server, server, &wrong)) {
    detail = wrong;
    return VTL_SEND_BAD_ARGUMENT;
  }
  if (env.network == nullptr) {
    detail = ConnectFailure(VTL_SEND_SOCKET_FAILED);
    return VTL_SEND_SOCKET_FAILED;
  }

  // Everything that takes memory in proportion to the texts is made before
  // the server is bothered.
  const LocalTime now = env.clock ? env.clock() : LocalTime{};
  Composition mail = Compose(trimmed, env, mode, FormatMailDate(now),
                             MakeMessageId(now, env.processId, env.sequence, env.hostName));
  const std::string& headers = mail.headers;
  // A URL holds the password: it goes into no command line.
  // The plain form names the server in HELO as the caller wrote it, its
  // port left out.
  std::string_view heloName = args.server;
  if (server.security == Security::None && server.port != 0)
    heloName = heloName.substr(0, heloName.rfind(':'));
  const std::string helo =
      server.security == Security::None ? Command("HELO ", heloName, "") : std::string();
  const std::string mailFrom = Command("MAIL FROM:<", fromAddress, ">");
  const std::string rcptTo = Command("RCPT TO:<", toAddress, ">");

  const Timeouts& t = env.timeouts;
  Dialogue d(t, env.trace);
  DataWriter writer(d);

  const uint16_t port = server.port != 0                    ? server.port
                        : server.security == Security::None ? env.port
                                                            : DefaultPort(server.security);
  const std::string where = Endpoint(server, port) + ": ";
  ConnectOutcome connected = env.network->Connect(server.host, port, env.timeouts.connect);
  if (connected.result != 0 || !connected.connection) {
    const int result = connected.result != 0 ? connected.result : VTL_SEND_CONNECT_FAILED;
    detail = where + ConnectFailure(result);
    if (!connected.detail.empty()) detail += ": " + connected.detail;
    return result;
  }
  if (env.trace) {
    // Which of the name's addresses won the race, where it was a name.
    std::string line = "connected to " + where.substr(0, where.size() - 2);
    if (!connected.address.empty() && line.find(connected.address) == std::string::npos)
      line.append(" (").append(connected.address).append(")");
    env.trace(TraceKind::Info, line);
  }
  std::unique_ptr<Connection> connection = std::move(connected.connection);
  d.Attach(*connection);
  // What a step came to, and a step whose reply is not the one wanted,
  // which ends the dialogue.
  auto said = [&](std::string_view step, int code) {
    return std::string(where).append(step).append(": ").append(d.Said(code));
  };
  auto failed = [&](std::string_view step, int code) {
    detail = said(step, code);
    d.QuitQuietly();
    return VTL_SEND_DIALOGUE_FAILED;
  };
  auto withoutEnd = [](std::string_view line) { return line.substr(0, line.size() - 2); };
  Extensions offered;
  if (server.security != Security::None) {
    std::string why;
    if (const int r = Secure(d, connection, server, port, env, offered, why)) {
      detail = where + why;
      return r;
    }
  } else {
    if (const int code = d.ReadReply(t.greeting); code / 100 != 2) return failed("greeting", code);
    if (const int code = d.Exchange(helo, t.other); code / 100 != 2) return failed("HELO", code);
  }
  if (offered.pipelining) {
    // RFC 2920: the envelope in one write, its replies read in order. The
    // first refusal is the one reported; a DATA the server took anyway
    // gets an empty message, ended at once, which it must not deliver.
    if (!d.SendLines({mailFrom, rcptTo, "DATA\r\n"})) return failed(withoutEnd(mailFrom), -1);
    const struct {
      std::string_view step;
      Millis timeout;
      int wanted;  // the class of reply that lets the mail go on
    } steps[] = {
        {withoutEnd(mailFrom), t.mail, 2}, {withoutEnd(rcptTo), t.rcpt, 2}, {"DATA", t.data, 3}};
    std::string refusal;
    for (const auto& step : steps) {
      // Once a step is refused the result is known: the replies after it
      // are waited for only as briefly as QUIT's.
      const int code = d.ReadReply(refusal.empty() ? step.timeout : t.quit);
      // After a refusal, a connection that ends says less than the refusal.
      if ((code < 0 || code / 100 != step.wanted) && refusal.empty())
        refusal = said(step.step, code);
      if (code < 0) break;
      if (code == 354 && !refusal.empty() && d.SendLine(".\r\n")) d.ReadReply(t.quit);
    }
    if (!refusal.empty()) {
      detail = refusal;
      d.QuitQuietly();
      return VTL_SEND_DIALOGUE_FAILED;
    }
  } else {
    if (const int code = d.Exchange(mailFrom, t.mail); code / 100 != 2)
      return failed(withoutEnd(mailFrom), code);
    if (const int code = d.Exchange(rcptTo, t.rcpt); code / 100 != 2)
      return failed(withoutEnd(rcptTo), code);
    if (const int code = d.Exchange("DATA\r\n", t.data); code / 100 != 3)
      return failed("DATA", code);
  }
  // After its go-ahead the server reads until the end of data and answers
  // nothing before: bytes already here would pass for the reply to the
  // message (a "250" sent with the 354, then a refusal). Nothing more is
  // sent; the message left unfinished is dropped.
  if (d.SentAhead()) {
    detail = where +
             "DATA: the server sent more after its go-ahead (354), before the message; the "
             "dialogue is broken, so nothing of the message was sent";
    return VTL_SEND_DIALOGUE_FAILED;
  }

  // From here until the end of data the server takes every byte as message
  // text; a failure leaves the message unfinished, and the server drops it.
  if (!writer.Line(headers) ||
      !WriteBodyLines(mail.Body(), mail.mode, writer,
                      mail.toShiftJis ? &*mail.toShiftJis : nullptr) ||
      !writer.Line(".\r\n") || !writer.Flush()) {
    detail = where + "message: " + d.Why();
    return VTL_SEND_DIALOGUE_FAILED;
  }
  if (env.trace)
    env.trace(TraceKind::Sent, "<the message, " + std::to_string(writer.sent()) + " bytes>");
  if (const int code = d.ReadReply(t.endOfData); code / 100 != 2)
    return failed("end of data", code);
  // Delivered: the server's words, which hold its queue id. Nothing may
  // turn that into a failure now, want of memory included.
  try {
    detail = QuoteReply(d.LastReply());
  } catch (...) {
    detail.clear();
  }
  // The server's answer to QUIT cannot change that: reporting a failure now
  // would make the host send the mail a second time, and waiting long for
  // it would only hold the host.
  d.QuitQuietly();
  return VTL_SEND_OK;
}

}  // namespace

int SendMail(const MailArgs& args, const SendEnv& env, std::string* detail) noexcept {
  std::string ignored;
  std::string& why = detail != nullptr ? *detail : ignored;
  try {
    why.clear();
    const int result = Run(args, env, why);
    // One line of printable ASCII whatever a layer below put in it; want
    // of memory here must not change the result of a delivered mail.
    if (std::any_of(why.begin(), why.end(), [](char c) { return c < 0x20 || c > 0x7E; })) {
      try {
        std::string printable;
        AppendPrintable(printable, why, why.size());
        why.swap(printable);
      } catch (...) {
        why.clear();
      }
    }
    return result;
  } catch (const std::bad_alloc&) {
    why.clear();
    return VTL_SEND_NO_MEMORY;
  } catch (...) {
    why.clear();
    return VTL_SEND_DIALOGUE_FAILED;
  }
}

}  // namespace vtl::mail
