// vtl-sendmail: sends one mail through the same core as VTLSendMail, or
// VTLSendMailEx for lists and files, with a port of the user's choosing. As
// Unix tools do, it says nothing when the mail was delivered, one line on
// standard error when it was not, and with --verbose the whole dialogue.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/secret.h"
#include "mail/session.h"
#include "platform/platform.h"
#include "signin/system.h"
#include "vtl.h"

namespace {

constexpr const char* kUsage =
    "usage: vtl-sendmail --server HOST|URL --from ADDRESS --to ADDRESS --subject TEXT\n"
    "                    [--from-name NAME] [--to-name NAME] [--port N] [--body-file FILE]\n"
    "                    [--password-file FILE] [--ca-file FILE] [-v|--verbose]\n"
    "       vtl-sendmail --server HOST|URL --from MAILBOX [--to LIST]... [--cc LIST]...\n"
    "                    [--bcc LIST]... [--subject TEXT] [--attach FILE]...\n"
    "                    [--reply-to LIST] [--header 'Name: value']... [--port N]\n"
    "                    [--body-file FILE] [--password-file FILE] [--ca-file FILE] [-v]\n"
    "       vtl-sendmail --sign-in PROVIDER --client-id ID --account ADDRESS\n"
    "                    [--client-secret-file FILE] [--device] [--ca-file FILE] [-v]\n"
    "       vtl-sendmail --sign-out ADDRESS\n"
    "       vtl-sendmail --version | --help\n"
    "\n"
    "Sends one plain-text mail through the SMTP server HOST (HOST:PORT for another\n"
    "port than 25). The body is read from FILE, or from standard input when\n"
    "--body-file is not given. Texts are taken as bytes in the locale's encoding; in\n"
    "a Japanese locale (for example LANG=ja_JP.SJIS or LANG=ja_JP.UTF-8) they are\n"
    "sent as ISO-2022-JP, or in UTF-8 where that cannot carry every character.\n"
    "Elsewhere ASCII text is sent as it is and any other text in UTF-8; a locale with\n"
    "no codeset (C, POSIX) is taken to hold UTF-8. Without --from-name or --to-name\n"
    "the header names the bare address.\n"
    "\n"
    "The second form sends to several recipients and attaches files, as VTLSendMailEx\n"
    "does. Any of --cc, --bcc, --attach, --reply-to or --header selects it, as does a\n"
    "--to given twice or holding a list or a display name, and a --from holding a\n"
    "display name. A LIST is addresses separated by commas or semicolons, each bare\n"
    "or as 'Bob <bob@example.com>'; a list option given twice adds to the list. The\n"
    "names are written in the lists, so --from-name and --to-name are refused. Bcc\n"
    "recipients get the mail but no header names them. --subject may be left out.\n"
    "With --attach and no --body-file, the text is read from standard input unless\n"
    "that is a terminal: then the mail carries the files alone.\n"
    "\n"
    "  --attach FILE           a file to attach, by its path; once per file\n"
    "  --reply-to LIST         where replies should go\n"
    "  --header 'Name: value'  a header line of your own, such as 'Importance: high'\n"
    "\n"
    "For example, two recipients and a PDF, with the text from note.txt:\n"
    "  vtl-sendmail --server smtp://yamada%40example.jp@smtp.example.jp \\\n"
    "      --from 'Yamada <yamada@example.jp>' --to 'hanako@example.jp, taro@example.jp' \\\n"
    "      --subject 'Invoice' --attach invoice.pdf --body-file note.txt\n"
    "\n"
    "  --port N       the server's port; by default the services entry \"mail\", else 25\n"
    "  -v, --verbose  show the dialogue on standard error as it happens: \"C: \" lines\n"
    "                 the client sent, \"S: \" the server's replies, \"* \" the connection\n"
    "                 and the TLS session, and last \"* result N: ...\". The password,\n"
    "                 in any form, shows as <hidden>, and the message only by its size.\n"
    "\n"
    "A URL asks for TLS and, with a user, a login:\n"
    "  smtps://[user[;AUTH=PLAIN|LOGIN|XOAUTH2]@]host[:port]   TLS from the start, port 465\n"
    "  smtp://[user[;AUTH=...]@]host[:port]                    STARTTLS required, port 587\n"
    "The password (for XOAUTH2 the access token) is never given on the command line:\n"
    "  --password-file FILE  its first line, else the environment variable VTL_PASSWORD\n"
    "  --ca-file FILE        trust only the CA certificates in this PEM file, instead\n"
    "                        of the system's store\n"
    "\n"
    "Signing in (OAuth 2) keeps a grant for ADDRESS, after which a URL with\n"
    "';AUTH=XOAUTH2', that user and no password logs in with it, refreshed as needed:\n"
    "  vtl-sendmail --sign-in microsoft --client-id ID --account yamada@contoso.com\n"
    "  vtl-sendmail --server 'smtp://yamada@contoso.com;AUTH=XOAUTH2@smtp.office365.com' ...\n"
    "  --sign-in PROVIDER    microsoft, microsoft:organizations, microsoft:consumers,\n"
    "                        microsoft:TENANT, google, or 'AUTHORIZE-URL TOKEN-URL SCOPE...'\n"
    "  --client-id ID        the application the vendor registered with the provider\n"
    "  --client-secret-file FILE  its secret's first line, where there is one (Google)\n"
    "  --device              sign in on another device with a code (RFC 8628), for a\n"
    "                        machine without a browser; Microsoft allows it for mail,\n"
    "                        Google does not\n"
    "  --sign-out ADDRESS    forget the grant kept for ADDRESS\n"
    "The browser opens on the provider's page; the call waits up to 5 minutes.\n"
    "\n"
    "A delivered mail prints nothing (but the dialogue with -v). On failure one line\n"
    "on standard error says what failed and why, with the server's reply where there\n"
    "was one:\n"
    "  vtl-sendmail: 127.0.0.1:25: RCPT TO:<bob@example.com>: 550 5.1.1 ...\n"
    "The exit status is the result code, 0 to 11, as VTLSendMail returns it (5 for a\n"
    "file to attach that cannot be opened); 64 for a wrong command line; 66 when the\n"
    "body or the password file could not be read (nothing is sent then).\n";

// sysexits.h's EX_USAGE and EX_NOINPUT: the command line is wrong, the input
// could not be opened or read. Far from the result codes, which may grow.
constexpr int kUsageError = 64;
constexpr int kUnreadable = 66;

// Why a send failed when no detail could be had (memory ran out).
const char* Describe(int result) {
  switch (result) {
    case VTL_SEND_STARTUP_FAILED:
      return "the sockets layer could not be started";
    case VTL_SEND_RESOLVE_FAILED:
      return "the server name could not be resolved";
    case VTL_SEND_SOCKET_FAILED:
      return "no socket could be created";
    case VTL_SEND_CONNECT_FAILED:
      return "the server did not accept the connection";
    case VTL_SEND_BAD_ARGUMENT:
      return "an argument is not well formed";
    case VTL_SEND_NO_MEMORY:
      return "not enough memory";
    case VTL_SEND_DIALOGUE_FAILED:
      return "the server refused the message or the connection broke";
    case VTL_SEND_TLS_FAILED:
      return "TLS could not be set up with the server";
    case VTL_SEND_CERTIFICATE_REJECTED:
      return "the server's certificate is not trusted for this host";
    case VTL_SEND_AUTH_FAILED:
      return "the login was refused, or no login mechanism suits both sides";
    case VTL_SIGN_IN_NOT_FINISHED:
      return "the sign-in was not finished";
    default:
      return "unknown result";
  }
}

// One line of the dialogue on standard error, its bytes beyond printable
// ASCII as \xNN: a certificate's subject or an address must not drive the
// terminal, and the trace is meant to be pasted as it is. Allocates nothing
// and never throws: a trace line after the message was delivered must not
// turn the send into a failure, which would have it sent again.
void PrintTrace(vtl::mail::TraceKind kind, std::string_view text) noexcept {
  const char* mark = kind == vtl::mail::TraceKind::Sent       ? "C: "
                     : kind == vtl::mail::TraceKind::Received ? "S: "
                                                              : "* ";
  char line[1024];
  size_t n = 0;
  // Written whole where it fits, so that each line stays one write.
  auto put = [&](char c) {
    if (n == sizeof line) {
      std::fwrite(line, 1, n, stderr);
      n = 0;
    }
    line[n++] = c;
  };
  for (const char* m = mark; *m != '\0'; ++m) put(*m);
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      put(c);
    } else {
      const char hex[] = "0123456789ABCDEF";
      put('\\');
      put('x');
      put(hex[b >> 4]);
      put(hex[b & 15]);
    }
  }
  put('\n');
  std::fwrite(line, 1, n, stderr);
}

// A wrong command line: what is wrong, and where to read more.
int Usage(const char* message, const char* option = "") {
  std::fprintf(stderr, "vtl-sendmail: %s%s\nTry 'vtl-sendmail --help'\n", option, message);
  return kUsageError;
}

// The library names its arguments; the user gave options. A detail that
// starts with an argument's name says it with the option's. The header
// lines are those of --reply-to (the first, when given) and --header.
std::string InOptions(const std::string& detail, bool replyToFirst) {
  static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
      {"fromAddress ", "--from "},
      {"fromName ", "--from-name "},
      {"toAddress ", "--to "},
      {"toName ", "--to-name "},
      {"subject ", "--subject "},
      {"body ", "the body "},
      {"server ", "--server "},
      {"from ", "--from "},
      {"from: ", "--from: "},
      {"to: ", "--to: "},
      {"cc: ", "--cc: "},
      {"bcc: ", "--bcc: "},
      {"to, cc and bcc ", "--to, --cc and --bcc "},
      {"no recipient: to, cc and bcc ", "no recipient: --to, --cc and --bcc "},
      {"attachments: ", "--attach: "}};
  for (const auto& [name, option] : kNames)
    if (detail.starts_with(name)) return std::string(option) + detail.substr(name.size());
  constexpr std::string_view kLine = "headers: line ", kReplyTo = " (Reply-To)";
  if (!detail.starts_with(kLine)) return detail;
  size_t end = detail.find_first_not_of("0123456789", kLine.size());
  if (end == std::string::npos) return detail;
  if (!replyToFirst || detail.compare(kLine.size(), end - kLine.size(), "1") != 0)
    return "--header" + detail.substr(end);
  if (detail.compare(end, kReplyTo.size(), kReplyTo) == 0) end += kReplyTo.size();
  return "--reply-to" + detail.substr(end);
}

// Whether `address` is the one bare address VTLSendMail takes: nothing
// outside a quoted local part that would make it a list or give it a
// display name. The library's own check reads it so; anything it would
// refuse as more than one address goes to VTLSendMailEx instead.
bool OneBareAddress(std::string_view address) {
  const size_t first = address.find_first_not_of(" \t");
  if (first == std::string_view::npos) return true;
  address = address.substr(first, address.find_last_not_of(" \t") - first + 1);
  if (address.starts_with('"')) {
    size_t end = 1;
    while (end < address.size() && address[end] != '"') end += address[end] == '\\' ? 2 : 1;
    address.remove_prefix(std::min(end + 1, address.size()));
  }
  return address.find_first_of(",;<> \t") == std::string_view::npos;
}

std::string Joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string all;
  for (const std::string& part : parts) {
    if (!all.empty()) all += separator;
    all += part;
  }
  return all;
}

// Where a URL's user information ends, or npos when it has none.
size_t UserInfoEnd(const std::string& url) {
  const size_t start = url.find("://");
  if (start == std::string::npos) return std::string::npos;
  const size_t end = url.find_first_of("/?#", start + 3);
  const size_t at = url.rfind('@', end);
  return at != std::string::npos && at > start ? at : std::string::npos;
}

// The password for a URL with a user: the first line of `file`, else
// VTL_PASSWORD; percent-encoded, since it goes into the URL.
bool ReadPassword(const std::optional<std::string>& file, vtl::mail::Secret& encoded) {
  vtl::mail::Secret password;
  if (file) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(file->c_str(), "rb"),
                                                             &std::fclose);
    if (!in) return false;
    std::setvbuf(in.get(), nullptr, _IONBF, 0);  // no copy left in a stdio buffer
    // A CR is held back until the next byte shows it does not end the line.
    bool heldCr = false;
    for (int c = std::fgetc(in.get()); c != EOF && c != '\n'; c = std::fgetc(in.get())) {
      if (heldCr) password.Append('\r');
      heldCr = c == '\r';
      if (!heldCr) password.Append(static_cast<char>(c));
    }
    if (std::ferror(in.get())) return false;
  } else if (const char* variable = std::getenv("VTL_PASSWORD")) {
    password.Append(variable);
  } else {
    return false;
  }
  for (const char c : password.view()) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      encoded.Append(c);
    } else {
      const char hex[] = "0123456789ABCDEF";
      const auto b = static_cast<unsigned char>(c);
      encoded.Append('%').Append(hex[b >> 4]).Append(hex[b & 15]);
    }
  }
  return true;
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

// Whether a URL asks for XOAUTH2 in its user information, which may then
// come without a token: the one a sign-in kept is used.
bool AsksXOAuth2(const std::string& url, size_t userInfoEnd) {
  std::string info = url.substr(0, userInfoEnd);
  for (char& c : info) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return info.find(";AUTH=XOAUTH2") != std::string::npos;
}

// The first line of a file, as a secret; false when it cannot be read.
bool FirstLine(const std::string& path, vtl::mail::Secret& line) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"),
                                                           &std::fclose);
  if (!in) return false;
  std::setvbuf(in.get(), nullptr, _IONBF, 0);  // no copy left in a stdio buffer
  for (int c = std::fgetc(in.get()); c != EOF && c != '\n'; c = std::fgetc(in.get()))
    if (c != '\r') line.Append(static_cast<char>(c));
  return !std::ferror(in.get());
}

struct SignInOptions {
  std::optional<std::string> provider, clientId, account, secretFile, caFile, signOut;
  bool device = false;
  bool verbose = false;
};

// --sign-in and --sign-out: VTLSignIn and VTLSignOut, or the device flow.
int SignInCommand(const SignInOptions& o) {
  const vtl::signin::SystemSignIn system(o.caFile.value_or(""), "--ca-file");
  std::string detail;
  int result = VTL_SEND_OK;
  if (o.signOut) {
    result = vtl::signin::SignOut(o.signOut->c_str(), system.Env(), &detail);
  } else {
    vtl::mail::Secret secret;
    if (o.secretFile && !FirstLine(*o.secretFile, secret)) {
      std::fprintf(stderr, "vtl-sendmail: cannot read the client secret file\n");
      return kUnreadable;
    }
    const vtl::signin::SignInArgs args{o.provider->c_str(), o.clientId->c_str(),
                                       secret.empty() ? nullptr : secret.view().data(),
                                       o.account->c_str()};
    if (o.device) {
      result = vtl::signin::SignInOnDevice(
          args, system.Env(),
          [](const vtl::signin::DevicePrompt& p) {
            std::fprintf(stderr,
                         "To sign in, open %s in a browser on any device and enter the code %s "
                         "(within %lld minutes).\n",
                         p.verificationUri.c_str(), p.userCode.c_str(),
                         static_cast<long long>((p.expiresIn + 59) / 60));
            std::fflush(stderr);
          },
          &detail);
    } else {
      result = vtl::signin::SignIn(args, system.Env(), &detail);
    }
  }
  if (o.verbose)
    std::fprintf(stderr, "* result %d%s%s\n", result, detail.empty() ? "" : ": ", detail.c_str());
  if (result != VTL_SEND_OK) {
    const std::pair<std::string_view, std::string_view> kNames[] = {
        {"provider", "--sign-in"},
        {"clientId", "--client-id"},
        {"clientSecret", "the client secret"},
        {"account", o.signOut ? "--sign-out" : "--account"}};
    for (const auto& [name, option] : kNames)
      if (detail.starts_with(name) && detail.size() > name.size() &&
          (detail[name.size()] == ' ' || detail[name.size()] == ':')) {
        detail = std::string(option) + detail.substr(name.size());
        break;
      }
    std::fprintf(stderr, "vtl-sendmail: %s\n", detail.empty() ? Describe(result) : detail.c_str());
  }
  return result;
}

int Run(int argc, char** argv) {
  std::optional<std::string> server, from, fromName, toName, subject, bodyFile, port, passwordFile,
      caFile;
  std::vector<std::string> to, cc, bcc, replyTo, attach, headers;
  bool verbose = false;
  SignInOptions signIn;
  struct Option {
    const char* name;
    std::optional<std::string>* value;  // the last one given counts
    std::vector<std::string>* values;   // every one given counts
  };
  const Option options[] = {{"--server", &server, nullptr},
                            {"--from", &from, nullptr},
                            {"--from-name", &fromName, nullptr},
                            {"--to", nullptr, &to},
                            {"--to-name", &toName, nullptr},
                            {"--cc", nullptr, &cc},
                            {"--bcc", nullptr, &bcc},
                            {"--subject", &subject, nullptr},
                            {"--attach", nullptr, &attach},
                            {"--reply-to", nullptr, &replyTo},
                            {"--header", nullptr, &headers},
                            {"--body-file", &bodyFile, nullptr},
                            {"--port", &port, nullptr},
                            {"--password-file", &passwordFile, nullptr},
                            {"--ca-file", &caFile, nullptr},
                            {"--sign-in", &signIn.provider, nullptr},
                            {"--client-id", &signIn.clientId, nullptr},
                            {"--account", &signIn.account, nullptr},
                            {"--client-secret-file", &signIn.secretFile, nullptr},
                            {"--sign-out", &signIn.signOut, nullptr}};
  if (argc < 2) return Usage("--server, --from, --to and --subject are required");
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vtl-sendmail %s\n", VTL_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0) {
      verbose = true;
      continue;
    }
    if (std::strcmp(argv[i], "--device") == 0) {
      signIn.device = true;
      continue;
    }
    bool known = false;
    for (const Option& o : options) {
      if (std::strcmp(argv[i], o.name) != 0) continue;
      if (i + 1 >= argc) return Usage(" needs a value", o.name);
      if (o.value != nullptr)
        *o.value = argv[++i];
      else
        o.values->emplace_back(argv[++i]);
      known = true;
    }
    if (!known) return Usage(argv[i], "unknown option ");
  }
  if (signIn.provider || signIn.signOut || signIn.device || signIn.clientId || signIn.account ||
      signIn.secretFile) {
    if (server || from || !to.empty() || !cc.empty() || !bcc.empty() || subject || bodyFile ||
        port || passwordFile || !attach.empty() || !replyTo.empty() || !headers.empty())
      return Usage("signing in and out sends no mail: give --sign-in or --sign-out alone");
    if (signIn.signOut) {
      if (signIn.provider || signIn.clientId || signIn.account || signIn.secretFile ||
          signIn.device || caFile)
        return Usage(" takes nothing more than the address", "--sign-out");
    } else {
      if (!signIn.provider) return Usage(" is required", "--sign-in");
      if (!signIn.clientId) return Usage(" is required with --sign-in", "--client-id");
      if (!signIn.account) return Usage(" is required with --sign-in", "--account");
    }
    signIn.caFile = caFile;
    signIn.verbose = verbose;
    return SignInCommand(signIn);
  }
  if (!server) return Usage(" is required", "--server");
  if (!from) return Usage(" is required", "--from");
  if (to.empty() && cc.empty() && bcc.empty()) return Usage(" is required", "--to");

  // One bare sender and recipient with the old options is VTLSendMail's
  // mail, sent as it always was; anything more is VTLSendMailEx's, whose
  // lists carry the names.
  const bool names = fromName || toName;
  const bool full = !cc.empty() || !bcc.empty() || !attach.empty() || !replyTo.empty() ||
                    !headers.empty() || to.size() != 1 || !OneBareAddress(to[0]) ||
                    (!names && !OneBareAddress(*from));
  if (full && names)
    return Usage(fromName ? " goes with one bare --to alone: with a list, --cc, --bcc, --attach, "
                            "--reply-to or --header, write the name in --from, as 'Yamada "
                            "<yamada@example.jp>'"
                          : " goes with one bare --to alone: with a list, --cc, --bcc, --attach, "
                            "--reply-to or --header, write the name in --to, as 'Bob "
                            "<bob@example.com>'",
                 fromName ? "--from-name" : "--to-name");
  if (!full && !subject) return Usage(" is required", "--subject");
  // Each goes to the library as one line of its own.
  for (const std::string& path : attach)
    if (path.find_first_not_of(" \t") == std::string::npos ||
        path.find_first_of("\r\n") != std::string::npos)
      return Usage(" takes the path of one file, without a line break", "--attach");
  for (const auto& [option, lines] : {std::pair{"--reply-to", &replyTo}, {"--header", &headers}})
    for (const std::string& line : *lines)
      if (line.find_first_of("\r\n") != std::string::npos)
        return Usage(" takes one line, without a line break", option);

  vtl::mail::SendEnv env;
  env.locale = vtl::platform::UserLocale();
  env.charsets = vtl::platform::OpenCharsets;
  env.port = vtl::platform::MailPort();
  if (port) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(port->c_str(), &end, 10);
    if (port->empty() || (*port)[0] < '0' || (*port)[0] > '9' || *end != '\0' || value == 0 ||
        value > 65535)
      return Usage("--port takes a number from 1 to 65535");
    env.port = static_cast<uint16_t>(value);
  }

  // A URL's password joins it here, from a file or the environment: on the
  // command line every user of the machine could read it.
  vtl::mail::Secret url;
  const bool isUrl = server && server->find("://") != std::string::npos;
  if (isUrl && port) return Usage("a URL gives its port itself: --port is for a host name");
  if (!isUrl && (passwordFile || caFile))
    return Usage("--password-file and --ca-file are for a server given as a URL");
  if (caFile) env.caFile = *caFile;
  env.trustOption = "--ca-file";
  if (const size_t at = isUrl ? UserInfoEnd(*server) : std::string::npos; at != std::string::npos) {
    if (server->find(':', server->find("://") + 3) < at)
      return Usage(
          "no password in the URL, where ps shows it: use VTL_PASSWORD or "
          "--password-file");
    vtl::mail::Secret password;
    const bool kept =
        !passwordFile && std::getenv("VTL_PASSWORD") == nullptr && AsksXOAuth2(*server, at);
    if (kept) {
      // XOAUTH2 without a token: the grant kept by --sign-in logs in.
    } else if (!ReadPassword(passwordFile, password)) {
      if (!passwordFile)
        return Usage(
            "the URL names a user: give the password in VTL_PASSWORD or --password-file, or "
            "sign in with --sign-in and log in with ;AUTH=XOAUTH2");
      std::fprintf(stderr, "vtl-sendmail: cannot read the password file\n");
      return kUnreadable;
    }
    if (!kept) {
      url.Append(std::string_view(*server).substr(0, at)).Append(':').Append(password.view());
      url.Append(std::string_view(*server).substr(at));
    }
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
  } else if (attach.empty() || !vtl::platform::StandardInputIsTerminal()) {
    // A mail of files alone, typed at a prompt, should not wait for a text
    // the user never meant to type.
    error = ReadAll(stdin, body);
  }
  if (error != 0) {
    std::fprintf(stderr, "vtl-sendmail: cannot read the body from %s: %s; nothing was sent\n",
                 source, std::strerror(error));
    return kUnreadable;
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
  if (verbose) env.trace = PrintTrace;
  // A refresh of the kept grant trusts the system's store, as the sign-in did.
  env.keptToken = [](std::string_view user, bool refresh, vtl::mail::Secret& token, bool& fresh,
                     std::string& why) {
    const vtl::signin::SystemSignIn system;
    return vtl::signin::KeptAccessToken(user, refresh, system.Env(), token, fresh, why);
  };
  auto text = [](const std::optional<std::string>& s) { return s ? s->c_str() : nullptr; };
  const char* serverArgument = url.empty() ? text(server) : url.view().data();
  std::string detail;
  int result = VTL_SEND_OK;
  if (full) {
    std::string headerLines = replyTo.empty() ? "" : "Reply-To: " + Joined(replyTo, ", ") + "\n";
    headerLines += Joined(headers, "\n");
    const std::string toList = Joined(to, ", "), ccList = Joined(cc, ", "),
                      bccList = Joined(bcc, ", "), paths = Joined(attach, "\n");
    result = vtl::mail::SendMailEx(
        {serverArgument, from->c_str(), toList.c_str(), ccList.c_str(), bccList.c_str(),
         text(subject), body.c_str(), paths.c_str(), headerLines.c_str()},
        env, &detail);
  } else {
    result = vtl::mail::SendMail({serverArgument, from->c_str(), text(fromName), to[0].c_str(),
                                  text(toName), text(subject), body.c_str(), true},
                                 env, &detail);
  }
  // The detail is printable ASCII and names no credential; it is printed
  // as it is, with nothing allocated, since a delivered message must not
  // end as a failure.
  if (verbose)
    std::fprintf(stderr, "* result %d%s%s\n", result, detail.empty() ? "" : ": ", detail.c_str());
  if (result != VTL_SEND_OK) {
    if (result == VTL_SEND_BAD_ARGUMENT) detail = InOptions(detail, !replyTo.empty());
    std::fprintf(stderr, "vtl-sendmail: %s\n", detail.empty() ? Describe(result) : detail.c_str());
  }
  return result;
}
}  // namespace

int main(int argc, char** argv) {
  // One send, then the process ends: cleaning up OpenSSL's state first
  // would only cost time.
  vtl::platform::SkipTlsCleanupAtExit();
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "vtl-sendmail: %s\n", Describe(VTL_SEND_NO_MEMORY));
    return VTL_SEND_NO_MEMORY;
  }
}
