#include "mail/session.h"

#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "mail/auth.h"
#include "mail/message.h"
#include "mail/reply.h"
#include "mail/server_url.h"
#include "vtl.h"

namespace vtl::mail {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxAddressLength = 254;

// Lines of the data section go out in writes of about this size: small
// enough that the server starts reading while the rest is converted.
constexpr size_t kDataChunk = 16 * 1024;

class Dialogue {
 public:
  explicit Dialogue(const Timeouts& timeouts) : timeouts_(timeouts) {}

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
      if (left <= Millis::zero()) return false;
      const IoResult r = connection_->Send(bytes.data(), bytes.size(), left);
      if (r.status == IoStatus::Interrupted) continue;
      if (r.status != IoStatus::Ok || r.bytes == 0 || r.bytes > bytes.size()) return false;
      bytes.remove_prefix(r.bytes);
      deadline = Clock::now() + timeouts_.send;
    }
    return true;
  }

  // The code of the next whole reply, or -1 when none arrives in time, the
  // connection ends, or the server sends something that is not a reply.
  int ReadReply(Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      int code = 0;
      switch (reader_.Next(code)) {
        case ReplyReader::Status::Complete:
          return code;
        case ReplyReader::Status::NeedMore:
          break;
        default:
          return -1;
      }
      const auto left = std::chrono::ceil<Millis>(deadline - Clock::now());
      if (left <= Millis::zero()) return -1;
      const IoResult r = connection_->Receive(buffer_, sizeof buffer_, left);
      if (r.status == IoStatus::Interrupted) continue;
      if (r.status != IoStatus::Ok || r.bytes == 0 || r.bytes > sizeof buffer_) return -1;
      reader_.Feed(buffer_, r.bytes);
    }
  }

  // Sends a command and gives the code of its reply, or -1 as ReadReply.
  int Exchange(std::string_view line, Millis timeout) {
    return SendAll(line) ? ReadReply(timeout) : -1;
  }

  // Sends a command and checks that the reply's first digit is `expected`.
  bool Command(std::string_view line, Millis timeout, int expected) {
    return Exchange(line, timeout) / 100 == expected;
  }

  // The reply ReadReply returned last, line ends included.
  std::string_view LastReply() const { return reader_.LastReply(); }
  // Whether the server sent more than the replies read so far.
  bool HasMore() const { return reader_.HasMore(); }

  // The server is told we are leaving, if it still listens; its answer
  // changes nothing, so it is not waited for long.
  void QuitQuietly() {
    if (SendAll("QUIT\r\n")) ReadReply(timeouts_.quit);
  }

 private:
  Connection* connection_ = nullptr;
  const Timeouts& timeouts_;
  ReplyReader reader_;
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
    pending_.clear();
    return ok;
  }

 private:
  Dialogue& dialogue_;
  std::string pending_;
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

// The login, over TLS, with the mechanisms the server offered there. A
// refusal ends it: trying another mechanism would only show the server
// the same secret again.
int LogIn(Dialogue& d, const ServerAddress& server, const Extensions& offered, Millis timeout) {
  const Mechanism mechanism =
      offered.auth ? ChooseMechanism(server.mechanism, offered) : Mechanism::Any;
  if (mechanism == Mechanism::Any) {
    d.QuitQuietly();
    return VTL_SEND_AUTH_FAILED;
  }
  int code = 0;
  {
    Secret command;
    AuthCommand(mechanism, server, command);
    code = d.Exchange(command.view(), timeout);
  }
  if (mechanism == Mechanism::Login) {
    // Two challenges, the user's name and then the password; their text
    // is not read.
    for (const Secret* answer : {&server.user, &server.password}) {
      if (code != 334) break;
      Secret line;
      AppendBase64(answer->view(), line);
      code = d.Exchange(line.Append("\r\n").view(), timeout);
    }
  } else if (mechanism == Mechanism::XOAuth2 && code == 334) {
    // The token was not taken: the challenge says why, and an empty line
    // ends the exchange (with 535).
    code = d.Exchange("\r\n", timeout);
  }
  if (code < 0) return VTL_SEND_DIALOGUE_FAILED;
  if (code / 100 == 2) return VTL_SEND_OK;
  // A challenge nothing answers: "*" cancels the exchange (RFC 4954 4).
  if (code == 334) d.Exchange("*\r\n", timeout);
  d.QuitQuietly();
  return VTL_SEND_AUTH_FAILED;
}

// For a URL: TLS, EHLO over it, and the login when a user was given. 0 when
// the mail may follow. A server that offers no STARTTLS, refuses it, or
// slips bytes in after its go-ahead gets nothing more: no login, no mail.
int Secure(Dialogue& d, std::unique_ptr<Connection>& connection, ServerAddress& server,
           const SendEnv& env) {
  const Timeouts& t = env.timeouts;
  // RFC 6066 3: a name sent as SNI has no trailing dot, and certificates
  // name hosts without one; the resolver was given it as written.
  std::string_view name = server.host;
  if (!server.hostIsAddress && name.ends_with('.')) name.remove_suffix(1);
  const TlsPeer peer{std::string(name), server.hostIsAddress, env.caFile, t.handshake};
  auto startTls = [&]() {
    TlsOutcome secured = env.tls ? env.tls(std::move(connection), peer)
                                 : platform::StartTls(std::move(connection), peer);
    if (secured.result == 0 && !secured.connection) secured.result = VTL_SEND_TLS_FAILED;
    if (secured.result != 0) return secured.result;
    connection = std::move(secured.connection);
    d.Restart(*connection);
    return 0;
  };
  const std::string ehlo = EhloCommand(env.hostName, *connection);
  // EHLO only: a client that fell back to HELO could not ask for TLS.
  auto hello = [&]() {
    const int code = d.Exchange(ehlo, t.other);
    if (code / 100 == 2) return 0;
    if (code > 0) d.QuitQuietly();
    return code < 0 ? VTL_SEND_DIALOGUE_FAILED : VTL_SEND_TLS_FAILED;
  };

  if (server.security == Security::Implicit)
    if (const int r = startTls()) return r;
  if (d.ReadReply(t.greeting) / 100 != 2) {
    d.QuitQuietly();
    return VTL_SEND_DIALOGUE_FAILED;
  }
  if (const int r = hello()) return r;
  if (server.security == Security::StartTls) {
    if (!ParseEhlo(d.LastReply()).startTls) {
      d.QuitQuietly();
      return VTL_SEND_TLS_FAILED;
    }
    const int code = d.Exchange("STARTTLS\r\n", t.other);
    if (code != 220) {
      if (code > 0) d.QuitQuietly();
      return VTL_SEND_TLS_FAILED;
    }
    // Bytes before the handshake were not sent by the server we are about
    // to check; they may be replies meant to be read as if sent over TLS.
    if (d.HasMore() || connection->Unread() > 0) return VTL_SEND_TLS_FAILED;
    if (const int r = startTls()) return r;
    if (const int r = hello()) return r;
  }
  if (!server.login) return VTL_SEND_OK;
  const int result = LogIn(d, server, ParseEhlo(d.LastReply()), t.other);
  server.user.Clear();
  server.password.Clear();
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

int Run(const MailArgs& args, const SendEnv& env) {
  const jtext::TextMode mode =
      jtext::DecideTextMode(env.locale.abbrevLangName, env.locale.codePage, env.locale.leadBytes);

  const char* all[] = {args.server, args.fromAddress, args.fromName, args.toAddress,
                       args.toName, args.subject,     args.body};
  for (const char* a : all)
    if (a == nullptr) return VTL_SEND_BAD_ARGUMENT;
  for (const char* a : all)
    if (*a == '\0') return VTL_SEND_BAD_ARGUMENT;
  // CR or LF here would end the command line early and let the rest of the
  // text pass for commands of its own.
  if (HasLineBreak(args.server) || HasLineBreak(args.fromAddress) || HasLineBreak(args.toAddress))
    return VTL_SEND_BAD_ARGUMENT;
  // RFC 5321 4.5.3.1.3: a path is at most 256 octets, brackets included. A
  // longer address cannot be sent within the line limits, and no server
  // would take it.
  if (std::strlen(args.fromAddress) > kMaxAddressLength ||
      std::strlen(args.toAddress) > kMaxAddressLength)
    return VTL_SEND_BAD_ARGUMENT;
  ServerAddress server;
  if (!ParseServer(args.server, server)) return VTL_SEND_BAD_ARGUMENT;
  if (env.network == nullptr) return VTL_SEND_SOCKET_FAILED;

  // Everything that takes memory in proportion to the texts is made before
  // the server is bothered.
  const LocalTime now = env.clock ? env.clock() : LocalTime{};
  Composition mail = Compose(args, env, mode, FormatMailDate(now),
                             MakeMessageId(now, env.processId, env.sequence, env.hostName));
  const std::string& headers = mail.headers;
  // A URL holds the password: it goes into no command line.
  const std::string helo =
      server.security == Security::None ? Command("HELO ", args.server, "") : std::string();
  const std::string mailFrom = Command("MAIL FROM:<", args.fromAddress, ">");
  const std::string rcptTo = Command("RCPT TO:<", args.toAddress, ">");

  const Timeouts& t = env.timeouts;
  Dialogue d(t);
  DataWriter writer(d);

  const uint16_t port = server.security == Security::None ? env.port
                        : server.port != 0                ? server.port
                                                          : DefaultPort(server.security);
  ConnectOutcome connected = env.network->Connect(server.host, port, env.timeouts.connect);
  if (connected.result != 0 || !connected.connection)
    return connected.result != 0 ? connected.result : VTL_SEND_CONNECT_FAILED;
  std::unique_ptr<Connection> connection = std::move(connected.connection);
  d.Attach(*connection);
  if (server.security != Security::None) {
    if (const int r = Secure(d, connection, server, env)) return r;
  } else if (d.ReadReply(t.greeting) / 100 != 2 || !d.Command(helo, t.other, 2)) {
    d.QuitQuietly();
    return VTL_SEND_DIALOGUE_FAILED;
  }
  if (!d.Command(mailFrom, t.mail, 2) || !d.Command(rcptTo, t.rcpt, 2) ||
      !d.Command("DATA\r\n", t.data, 3)) {
    d.QuitQuietly();
    return VTL_SEND_DIALOGUE_FAILED;
  }

  // From here until the end of data the server takes every byte as message
  // text; a failure leaves the message unfinished, and the server drops it.
  if (!writer.Line(headers) ||
      !WriteBodyLines(mail.Body(), mail.mode, writer,
                      mail.toShiftJis ? &*mail.toShiftJis : nullptr) ||
      !writer.Line(".\r\n") || !writer.Flush())
    return VTL_SEND_DIALOGUE_FAILED;
  if (d.ReadReply(t.endOfData) / 100 != 2) {
    d.QuitQuietly();
    return VTL_SEND_DIALOGUE_FAILED;
  }
  // Delivered. The server's answer to QUIT cannot change that: reporting a
  // failure now would make the host send the mail a second time, and
  // waiting long for it would only hold the host.
  d.QuitQuietly();
  return VTL_SEND_OK;
}

}  // namespace

int SendMail(const MailArgs& args, const SendEnv& env) noexcept {
  try {
    return Run(args, env);
  } catch (const std::bad_alloc&) {
    return VTL_SEND_NO_MEMORY;
  } catch (...) {
    return VTL_SEND_DIALOGUE_FAILED;
  }
}

}  // namespace vtl::mail
