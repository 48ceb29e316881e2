// vtl-sendmail: sends one mail through the same core as VTLSendMail, with a
// port of the user's choosing, and says in one line how it went.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "mail/session.h"
#include "platform/platform.h"
#include "vtl.h"

namespace {

constexpr const char* kUsage =
    "usage: vtl-sendmail --server HOST --from ADDRESS --from-name NAME --to ADDRESS\n"
    "                    --to-name NAME --subject TEXT [--port N] [--body-file FILE]\n"
    "\n"
    "Sends one plain-text mail through the SMTP server HOST. The body is read from\n"
    "FILE, or from standard input when --body-file is not given. Texts are taken as\n"
    "bytes in the locale's encoding; in a Japanese locale (for example LANG=ja_JP.SJIS\n"
    "or LANG=ja_JP.UTF-8) they are sent as ISO-2022-JP.\n"
    "\n"
    "  --port N   the server's port; by default the services entry \"mail\", else 25\n"
    "\n"
    "The exit status is the result code, 0 to 7, as VTLSendMail returns it, or 66\n"
    "when the body could not be read (nothing is sent then).\n";

// sysexits.h's EX_NOINPUT: the input could not be opened or read. Far from
// the result codes, which may grow.
constexpr int kBodyUnreadable = 66;

const char* Describe(int result) {
  switch (result) {
    case VTL_SEND_OK:
      return "sent: the server accepted the message";
    case VTL_SEND_STARTUP_FAILED:
      return "error 1: the sockets layer could not be started";
    case VTL_SEND_RESOLVE_FAILED:
      return "error 2: the server name could not be resolved";
    case VTL_SEND_SOCKET_FAILED:
      return "error 3: no socket could be created";
    case VTL_SEND_CONNECT_FAILED:
      return "error 4: the server did not accept the connection";
    case VTL_SEND_BAD_ARGUMENT:
      return "error 5: an argument is missing or empty, the server or an address holds a line "
             "break, or an address is longer than 254 octets";
    case VTL_SEND_NO_MEMORY:
      return "error 6: not enough memory";
    case VTL_SEND_DIALOGUE_FAILED:
      return "error 7: the server refused the message or the connection broke";
    default:
      return "error: unknown result";
  }
}

// Reads the whole stream; returns 0, or the error that stopped the reading.
int ReadAll(std::FILE* in, std::string& out) {
  char buffer[64 * 1024];
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, in);
    out.append(buffer, n);
    if (n == sizeof buffer) continue;
    if (!std::ferror(in)) return 0;
    return errno != 0 ? errno : EIO;
  }
}

int Run(int argc, char** argv) {
  std::optional<std::string> server, from, fromName, to, toName, subject, bodyFile, port;
  struct Option {
    const char* name;
    std::optional<std::string>* value;
  };
  const Option options[] = {{"--server", &server},      {"--from", &from},
                            {"--from-name", &fromName}, {"--to", &to},
                            {"--to-name", &toName},     {"--subject", &subject},
                            {"--body-file", &bodyFile}, {"--port", &port}};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    bool known = false;
    for (const Option& o : options) {
      if (std::strcmp(argv[i], o.name) != 0) continue;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vtl-sendmail: %s needs a value\n%s", o.name, kUsage);
        return VTL_SEND_BAD_ARGUMENT;
      }
      *o.value = argv[++i];
      known = true;
    }
    if (!known) {
      std::fprintf(stderr, "vtl-sendmail: unknown option %s\n%s", argv[i], kUsage);
      return VTL_SEND_BAD_ARGUMENT;
    }
  }

  vtl::mail::SendEnv env;
  env.locale = vtl::platform::UserLocale();
  env.charsets = vtl::platform::OpenCharsets;
  env.port = vtl::platform::MailPort();
  if (port) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(port->c_str(), &end, 10);
    if (port->empty() || (*port)[0] < '0' || (*port)[0] > '9' || *end != '\0' || value == 0 ||
        value > 65535) {
      std::fprintf(stderr, "vtl-sendmail: --port takes a number from 1 to 65535\n");
      return VTL_SEND_BAD_ARGUMENT;
    }
    env.port = static_cast<uint16_t>(value);
  }

  // A body that could not be read whole is not sent at all: a partial one
  // would pass for the whole.
  std::string body;
  const char* source = bodyFile ? bodyFile->c_str() : "standard input";
  errno = 0;
  int error = 0;
  if (bodyFile) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(source, "rb"),
                                                             &std::fclose);
    error = in ? ReadAll(in.get(), body) : (errno != 0 ? errno : ENOENT);
  } else {
    error = ReadAll(stdin, body);
  }
  if (error != 0) {
    std::fprintf(stderr, "vtl-sendmail: cannot read the body from %s: %s\n", source,
                 std::strerror(error));
    std::printf("error %d: the body could not be read; nothing was sent\n", kBodyUnreadable);
    return kBodyUnreadable;
  }
  // The body travels as a C string: a NUL would silently end it there.
  if (body.find('\0') != std::string::npos) {
    std::fprintf(stderr, "vtl-sendmail: the body holds a NUL byte, which cannot be sent\n");
    return VTL_SEND_BAD_ARGUMENT;
  }

  env.network = &vtl::platform::SystemNetwork();
  env.clock = vtl::platform::Now;
  env.hostName = vtl::platform::HostName();
  env.processId = vtl::platform::ProcessId();
  auto text = [](const std::optional<std::string>& s) { return s ? s->c_str() : nullptr; };
  const int result = vtl::mail::SendMail({text(server), text(from), text(fromName), text(to),
                                          text(toName), text(subject), body.c_str()},
                                         env);
  std::printf("%s\n", Describe(result));
  return result;
}
}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::printf("%s\n", Describe(VTL_SEND_NO_MEMORY));
    return VTL_SEND_NO_MEMORY;
  }
}
