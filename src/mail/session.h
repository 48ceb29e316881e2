// One send: arguments in, SendResult out, over whatever Network it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "mail/secret.h"
#include "platform/platform.h"

namespace vtl::mail {

struct MailArgs {
  const char* server = nullptr;
  const char* fromAddress = nullptr;
  const char* fromName = nullptr;
  const char* toAddress = nullptr;
  const char* toName = nullptr;
  const char* subject = nullptr;
  const char* body = nullptr;
  // vtl-sendmail's: a null or empty name leaves the header with the bare
  // address. VTLSendMail's callers must give both.
  bool namesOptional = false;
};

// VTLSendMailEx's arguments, in the host's code page. `from`, `to`, `cc`
// and `bcc` are address lists (`from` one mailbox); `attachments` holds
// file paths and `headers` header lines, one per line. Any but `server` and
// `from` may be null.
struct MailExArgs {
  const char* server = nullptr;
  const char* from = nullptr;
  const char* to = nullptr;
  const char* cc = nullptr;
  const char* bcc = nullptr;
  const char* subject = nullptr;
  const char* body = nullptr;
  const char* attachments = nullptr;
  const char* headers = nullptr;
};

// RFC 5321 4.5.3.2 gives the time a client should wait for each reply.
struct Timeouts {
  Millis connect{30'000};
  Millis greeting{300'000};
  // A URL form's server is a submission server, which greets at once; one
  // that is silent is most likely waiting for a TLS handshake the URL did
  // not ask for (smtp:// to port 465), and holding the host for five
  // minutes would look like a hang.
  Millis urlGreeting{30'000};
  Millis mail{300'000};
  Millis rcpt{300'000};
  Millis data{120'000};
  Millis endOfData{600'000};
  Millis other{300'000};     // HELO, EHLO, STARTTLS and AUTH
  Millis handshake{60'000};  // the whole TLS handshake
  Millis send{180'000};      // any send that makes no progress (4.5.3.2.5)
  // QUIT, after a delivered message or a failure: its reply changes
  // nothing, so the host is not held for it.
  Millis quit{5'000};
};

// What a trace is told, as it happens.
enum class TraceKind {
  Sent,      // a command line (a secret in it shown as <hidden>), or the message by its size
  Received,  // a reply, its lines joined by " / "
  Info,      // the connection made, the TLS session (version, cipher, certificate)
};
using Trace = std::function<void(TraceKind, std::string_view)>;

struct SendEnv {
  LocaleInfo locale;
  // The system's conversions for a Japanese locale whose code page is not
  // 932 (platform::OpenCharsets); none when unset or when it gives null.
  std::function<std::unique_ptr<Charsets>(const LocaleInfo&)> charsets;
  uint16_t port = 25;  // for a server named without a URL
  // Starts TLS for the URL forms; platform::StartTls when unset.
  std::function<TlsOutcome(std::unique_ptr<Connection>, const TlsPeer&)> tls;
  std::string caFile;  // trust only this PEM file's roots, not the system's store
  // The option by which the program's user trusts a CA ("--ca-file"), for
  // the hint of a certificate not trusted; empty: the system's own ways.
  std::string trustOption;
  Timeouts timeouts;
  Network* network = nullptr;
  std::function<LocalTime()> clock;
  std::string hostName;  // for the Message-ID; empty means unknown
  unsigned long processId = 0;
  uint64_t sequence = 0;  // distinguishes sends within one process
  // Opens an attached file by its path in the host's bytes;
  // platform::OpenInputFile when unset.
  std::function<FileOpened(std::string_view, unsigned)> openFile;
  // Whether '\\' separates the folders of a path as '/' does.
#if defined(_WIN32)
  bool backslashInPaths = true;
#else
  bool backslashInPaths = false;
#endif
  // For a URL with ;AUTH=XOAUTH2, a user and no token: the access token
  // kept for `user`, for the mail server `host`, refreshed when `refresh`
  // asks for it. 0 with the token
  // and whether it was just had from the provider (`fresh`); else a
  // SendResult with `why`. None: such a URL is a bad argument.
  std::function<int(std::string_view user, std::string_view host, bool refresh, Secret& token,
                    bool& fresh, std::string& why)>
      keptToken;
  // The dialogue as it happens, for vtl-sendmail --verbose; the library's
  // own calls have none.
  Trace trace;
};

// The whole of VTLSendMail. Never throws. With `detail`, says in one line
// of printable ASCII what failed and why, or the server's reply to a
// delivered message; empty where memory ran out.
int SendMail(const MailArgs& args, const SendEnv& env, std::string* detail = nullptr) noexcept;

// The whole of VTLSendMailEx, as SendMail.
int SendMailEx(const MailExArgs& args, const SendEnv& env, std::string* detail = nullptr) noexcept;

}  // namespace vtl::mail
