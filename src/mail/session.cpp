#include "mail/session.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "mail/address_list.h"
#include "mail/compose.h"
#include "mail/detail.h"
#include "mail/dialogue.h"
#include "mail/full_message.h"
#include "mail/login.h"
#include "mail/message.h"
#include "mail/reply.h"
#include "mail/server_url.h"
#include "vtl.h"

namespace vtl::mail {
namespace {

bool HasLineBreak(const char* s) {
  return std::strpbrk(s, "\r\n") != nullptr;
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

// The plain form names the server in HELO as the caller wrote it, its port
// left out. A URL holds the password: it goes into no command line.
std::string HeloLine(std::string_view written, const ServerAddress& server) {
  if (server.security != Security::None) return {};
  if (server.port != 0) written = written.substr(0, written.rfind(':'));
  return Command("HELO ", written, "");
}

// The conversation with the server, from the connection to QUIT: what every
// send does once its arguments are checked and its message made.
struct Outgoing {
  ServerAddress server;
  std::string helo;  // the HELO line of the plain form
  std::string from;
  std::vector<std::string> recipients;
  MessageSource* message = nullptr;
  // MAIL FROM names the message's size where the server offers SIZE.
  bool declareSize = false;
};

int Converse(Outgoing& out, const SendEnv& env, std::string& detail) {
  const Timeouts& t = env.timeouts;
  Dialogue d(t, env.trace);
  DataWriter writer(d);
  ServerAddress& server = out.server;

  const uint16_t port = server.port != 0                    ? server.port
                        : server.security == Security::None ? env.port
                                                            : DefaultPort(server.security);
  const std::string where = Endpoint(server.host, port) + ": ";
  // The kept token before the server is bothered: without one there is
  // nothing to log in with.
  if (server.keptToken) {
    if (!env.keptToken) {
      detail = "XOAUTH2 without a token in the URL needs a sign-in, which this program cannot use";
      return VTL_SEND_BAD_ARGUMENT;
    }
    std::string why;
    if (const int r =
            env.keptToken(server.user.view(), false, server.password, server.tokenFresh, why)) {
      detail = why;
      return r;
    }
  }
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
    if (const int code = d.Exchange(out.helo, t.other); code / 100 != 2)
      return failed("HELO", code);
  }

  std::string sizeParameter;
  if (out.declareSize && offered.size) {
    const uint64_t size = out.message->Size();
    // A message larger than the server takes would be refused only after
    // every byte of it was sent.
    if (offered.sizeLimit != 0 && size > offered.sizeLimit) {
      detail = where + "the message is " + std::to_string(size) +
               " bytes, and the server takes at most " + std::to_string(offered.sizeLimit) +
               " (SIZE in its EHLO reply), so it was not sent";
      d.QuitQuietly();
      return VTL_SEND_DIALOGUE_FAILED;
    }
    sizeParameter = " SIZE=" + std::to_string(size);
  }
  const std::string mailFrom = Command("MAIL FROM:<", out.from, ">" + sizeParameter);
  std::vector<std::string> rcptTo;
  for (const std::string& recipient : out.recipients)
    rcptTo.push_back(Command("RCPT TO:<", recipient, ">"));

  // Each refusal of the envelope: MAIL's alone where MAIL was refused,
  // else every refused recipient, so the host learns all of them at once.
  std::string refusals;
  bool mailRefused = false;
  auto refused = [&](std::string_view step, int code) {
    if (mailRefused || (code < 0 && !refusals.empty())) return;
    if (refusals.empty())
      refusals = said(step, code);
    else
      refusals.append("; ").append(step).append(": ").append(d.Said(code));
    mailRefused = step.starts_with("MAIL");
  };
  bool dataSent = false;
  if (offered.pipelining) {
    // RFC 2920: the envelope in one write, its replies read in order. With
    // one recipient DATA goes with it, and a DATA the server took although
    // the recipient was refused gets an empty message, ended at once,
    // which it must not deliver. With more, DATA waits for every
    // recipient's reply: a server that took DATA after refusing one of
    // them would deliver the message to the others.
    std::vector<std::string_view> lines{mailFrom};
    for (const std::string& line : rcptTo) lines.push_back(line);
    dataSent = rcptTo.size() == 1;
    if (dataSent) lines.push_back("DATA\r\n");
    if (!d.SendLines(lines)) return failed(withoutEnd(mailFrom), -1);
    for (size_t i = 0; i < lines.size(); ++i) {
      const bool isData = dataSent && i + 1 == lines.size();
      const Millis timeout = i == 0 ? t.mail : isData ? t.data : t.rcpt;
      // Once MAIL is refused, or DATA follows a refusal, the result is
      // known: the replies after it are waited for only as briefly as QUIT's.
      const bool known = mailRefused || (isData && !refusals.empty());
      const int code = d.ReadReply(known ? t.quit : timeout);
      if ((code < 0 || code / 100 != (isData ? 3 : 2)) && !(isData && !refusals.empty()))
        refused(isData ? std::string_view("DATA") : withoutEnd(lines[i]), code);
      if (code < 0) break;
      if (isData && code == 354 && !refusals.empty() && d.SendLine(".\r\n")) d.ReadReply(t.quit);
    }
  } else {
    if (const int code = d.Exchange(mailFrom, t.mail); code / 100 != 2)
      return failed(withoutEnd(mailFrom), code);
    for (const std::string& line : rcptTo) {
      const int code = d.Exchange(line, t.rcpt);
      if (code / 100 == 2) continue;
      refused(withoutEnd(line), code);
      // A server that is closing takes no further recipient.
      if (code < 0 || code == 421) break;
    }
  }
  if (!refusals.empty()) {
    detail = refusals;
    d.QuitQuietly();
    return VTL_SEND_DIALOGUE_FAILED;
  }
  if (!dataSent)
    if (const int code = d.Exchange("DATA\r\n", t.data); code / 100 != 3)
      return failed("DATA", code);
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
  // text; a failure leaves the message unfinished, and the server drops it:
  // the connection is closed without the end of data, and without QUIT,
  // which it would read as more of the message.
  std::string why;
  if (!out.message->Write(writer, why) || !writer.Line(".\r\n") || !writer.Flush()) {
    detail = where + "message: " + (why.empty() ? d.Why() : why);
    if (!why.empty())
      detail +=
          "; the connection was closed before the end of the message, so "
          "the server drops it";
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

// The message VTLSendMail composes: its header block, then its body.
class PlainMessage : public MessageSource {
 public:
  explicit PlainMessage(Composition& mail) : mail_(mail) {}
  bool Write(LineSink& sink, std::string&) override {
    return sink.Line(mail_.headers) &&
           WriteBodyLines(mail_.Body(), mail_.mode, sink,
                          mail_.toShiftJis ? &*mail_.toShiftJis : nullptr);
  }
  uint64_t Size() override {
    SizeCounter counter;
    Write(counter, why_);
    return counter.size();
  }

 private:
  Composition& mail_;
  std::string why_;
};

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
  Outgoing out;
  if (!ParseServer(args.server, out.server, &detail)) return VTL_SEND_BAD_ARGUMENT;
  detail.clear();
  if (env.network == nullptr) {
    detail = ConnectFailure(VTL_SEND_SOCKET_FAILED);
    return VTL_SEND_SOCKET_FAILED;
  }

  // Everything that takes memory in proportion to the texts is made before
  // the server is bothered.
  const LocalTime now = env.clock ? env.clock() : LocalTime{};
  Composition mail = Compose(trimmed, env, mode, FormatMailDate(now),
                             MakeMessageId(now, env.processId, env.sequence, env.hostName));
  PlainMessage message(mail);
  out.helo = HeloLine(args.server, out.server);
  out.from = fromAddress;
  out.recipients = {toAddress};
  out.message = &message;
  return Converse(out, env, detail);
}

int RunEx(const MailExArgs& args, const SendEnv& env, std::string& detail) {
  Outgoing out;
  if (args.server == nullptr || *args.server == '\0') {
    detail = std::string("server is ") + (args.server == nullptr ? "null" : "empty");
    return VTL_SEND_BAD_ARGUMENT;
  }
  if (HasLineBreak(args.server)) {
    detail = "server holds a line break (CR or LF)";
    return VTL_SEND_BAD_ARGUMENT;
  }
  if (!ParseServer(args.server, out.server, &detail)) return VTL_SEND_BAD_ARGUMENT;
  FullMessage message;
  if (const int r = MakeFullMessage(args, env, message, detail)) return r;
  if (env.network == nullptr) {
    detail = ConnectFailure(VTL_SEND_SOCKET_FAILED);
    return VTL_SEND_SOCKET_FAILED;
  }
  out.helo = HeloLine(args.server, out.server);
  out.from = message.from;
  out.recipients = message.recipients;
  out.message = &message;
  out.declareSize = true;
  return Converse(out, env, detail);
}

// Runs a send with everything thrown caught, its detail made one line of
// printable ASCII.
template <class Send>
int Guarded(std::string* detail, Send&& send) noexcept {
  std::string ignored;
  std::string& why = detail != nullptr ? *detail : ignored;
  try {
    why.clear();
    const int result = send(why);
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

}  // namespace

int SendMail(const MailArgs& args, const SendEnv& env, std::string* detail) noexcept {
  return Guarded(detail, [&](std::string& why) { return Run(args, env, why); });
}

int SendMailEx(const MailExArgs& args, const SendEnv& env, std::string* detail) noexcept {
  return Guarded(detail, [&](std::string& why) { return RunEx(args, env, why); });
}

}  // namespace vtl::mail
