// The TLS mail server of the smtps benchmarks: as little work per mail as a
// server can do, so that the clients' time is what the figures show. It
// listens on 127.0.0.1 (a port the system picks), speaks TLS 1.3 only from
// the first byte, and answers every command with a canned reply: AUTH PLAIN
// is taken with any credentials, and the message is read up to its final
// "." and thrown away. One connection at a time; no session tickets. EHLO
// offers PIPELINING, and the replies to all the commands read in one go
// leave in one write.
//
//   vtl_tls_sink [--starttls] CHAIN_AND_KEY.pem -- COMMAND [ARG...]
//       runs COMMAND with VTL_BENCH_TLS_SERVER=127.0.0.1:PORT and exits
//       with its status
//   vtl_tls_sink [--starttls] CHAIN_AND_KEY.pem
//   vtl_tls_sink --plain
//       prints "ready 127.0.0.1 PORT" and serves until SIGTERM or SIGINT,
//       with a line "mail N" as it takes the Nth message
//
// --starttls: in clear at first, offering STARTTLS (and AUTH only once TLS
// is up); --plain: in clear throughout, no AUTH.
//
// At the end it writes to stderr, for each EHLO name it was given, how many
// sessions were held and with which protocol, cipher and key exchange group
// ("none none none" for a session in clear):
//   tls_sink: ehlo=[127.0.0.1] sessions=812 TLSv1.3 TLS_AES_256_GCM_SHA384 X25519
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace {

enum class Mode { kSmtps, kStartTls, kPlain };

std::mutex g_statsMutex;
std::map<std::string, long> g_stats;  // "ehlo=NAME VERSION CIPHER GROUP" -> sessions
long g_mails = 0;
bool g_printMails = false;

bool Verb(std::string_view line, std::string_view verb) {
  if (line.size() < verb.size()) return false;
  for (size_t i = 0; i < verb.size(); ++i)
    if ((line[i] & ~0x20) != verb[i]) return false;
  return line.size() == verb.size() || line[verb.size()] == ' ' || line[verb.size()] == '\r';
}

// A client's connection, in clear until TLS starts on it.
struct Connection {
  int fd;
  SSL* ssl = nullptr;

  bool StartTls(SSL_CTX* ctx) {
    ssl = SSL_new(ctx);
    return ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1;
  }
  bool Read(char* buffer, size_t size, size_t& got) {
    if (ssl != nullptr) return SSL_read_ex(ssl, buffer, size, &got) == 1;
    const ssize_t n = recv(fd, buffer, size, 0);
    got = n > 0 ? static_cast<size_t>(n) : 0;
    return n > 0;
  }
  bool Write(std::string_view text) {
    size_t written = 0;
    if (ssl != nullptr) return SSL_write_ex(ssl, text.data(), text.size(), &written) == 1;
    for (ssize_t n = 0; written < text.size(); written += static_cast<size_t>(n))
      if ((n = send(fd, text.data() + written, text.size() - written, MSG_NOSIGNAL)) <= 0)
        return false;
    return true;
  }
  ~Connection() {
    // Our close_notify goes out; the client's is not waited for.
    if (ssl != nullptr && SSL_is_init_finished(ssl)) SSL_shutdown(ssl);
    SSL_free(ssl);
    close(fd);
  }
};

void Record(SSL* ssl, std::string_view ehloName) {
  const int group = ssl != nullptr ? static_cast<int>(SSL_get_negotiated_group(ssl)) : 0;
  const char* groupName = group != 0 ? SSL_group_to_name(ssl, group) : nullptr;
  std::string key = "ehlo=" + std::string(ehloName) + " " +
                    (ssl != nullptr ? SSL_get_version(ssl) : "none") + " " +
                    (ssl != nullptr ? SSL_get_cipher_name(ssl) : "none") + " " +
                    (groupName != nullptr ? groupName
                     : ssl != nullptr     ? "?"
                                          : "none");
  const std::lock_guard<std::mutex> lock(g_statsMutex);
  ++g_stats[key];
}

// One client, from the handshake to QUIT or the end of the connection.
void Serve(SSL_CTX* ctx, Mode mode, int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A client that stalls must not hold up the ones after it for long.
  const timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  Connection client{fd};
  if ((mode == Mode::kSmtps && !client.StartTls(ctx)) || !client.Write("220 sink ESMTP\r\n"))
    return;
  std::string pending, replies;
  std::string ehloName = "(none)";
  char buffer[16384];
  bool inData = false, authContinues = false, quit = false;
  while (!quit) {
    size_t got = 0;
    if (!client.Read(buffer, sizeof buffer, got)) break;
    pending.append(buffer, got);
    size_t start = 0;
    for (size_t end; !quit && (end = pending.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const std::string_view line(pending.data() + start, end + 1 - start);
      const bool tls = client.ssl != nullptr;
      if (inData) {
        if (line == ".\r\n" || line == ".\n") {
          inData = false;
          if (g_printMails) {
            const std::lock_guard<std::mutex> lock(g_statsMutex);
            std::printf("mail %ld\n", ++g_mails);
            std::fflush(stdout);
          }
          replies += "250 2.0.0 taken\r\n";
        }
      } else if (authContinues) {
        authContinues = false;
        replies += "235 2.7.0 accepted\r\n";
      } else if (Verb(line, "EHLO")) {
        const size_t last = line.find_last_not_of("\r\n");
        ehloName = last > 4 ? line.substr(5, last - 4) : "(none)";
        replies += tls                       ? "250-sink\r\n250-PIPELINING\r\n250-AUTH PLAIN\r\n"
                   : mode == Mode::kStartTls ? "250-sink\r\n250-PIPELINING\r\n250-STARTTLS\r\n"
                                             : "250-sink\r\n250-PIPELINING\r\n";
        replies += "250-8BITMIME\r\n250 SIZE 0\r\n";
      } else if (tls && Verb(line, "AUTH")) {
        // With an initial response the credentials came with the command.
        authContinues = line.find(' ', 5) == std::string_view::npos;
        replies += authContinues ? "334 \r\n" : "235 2.7.0 accepted\r\n";
      } else if (!tls && mode == Mode::kStartTls && Verb(line, "STARTTLS")) {
        // What came after the command in clear is dropped, as a server must.
        end = pending.size() - 1;
        quit = !client.Write(replies + "220 2.0.0 go ahead\r\n") || !client.StartTls(ctx);
        replies.clear();
      } else if (Verb(line, "DATA")) {
        inData = true;
        replies += "354 go on\r\n";
      } else if (Verb(line, "QUIT")) {
        quit = true;
        Record(client.ssl, ehloName);
        replies += "221 2.0.0 bye\r\n";
      } else if (Verb(line, "HELO") || Verb(line, "MAIL") || Verb(line, "RCPT") ||
                 Verb(line, "RSET") || Verb(line, "NOOP")) {
        replies += "250 2.0.0 ok\r\n";
      } else {
        replies += "500 5.5.2 what\r\n";
      }
    }
    pending.erase(0, start);
    if (!replies.empty() && !client.Write(replies)) break;
    replies.clear();
  }
}

SSL_CTX* MakeContext(const char* pem) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_use_certificate_chain_file(ctx, pem) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, pem, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_set_num_tickets(ctx, 0) != 1) {
    ERR_print_errors_fp(stderr);
    return nullptr;
  }
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  return ctx;
}

int Listen(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("tls_sink: listen");
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

void PrintStats() {
  const std::lock_guard<std::mutex> lock(g_statsMutex);
  for (const auto& [key, sessions] : g_stats) {
    const size_t space = key.find(' ');
    std::fprintf(stderr, "tls_sink: %s sessions=%ld%s\n", key.substr(0, space).c_str(), sessions,
                 key.substr(space).c_str());
  }
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  Mode mode = Mode::kSmtps;
  if (argc > 1 && std::strcmp(argv[1], "--starttls") == 0) mode = Mode::kStartTls;
  if (argc > 1 && std::strcmp(argv[1], "--plain") == 0) mode = Mode::kPlain;
  if (mode != Mode::kSmtps) ++arg;
  const char* pem = mode != Mode::kPlain && arg < argc ? argv[arg++] : nullptr;
  const bool command = argc > arg + 1 && std::strcmp(argv[arg], "--") == 0;
  if ((argc != arg && !command) || (mode != Mode::kPlain && pem == nullptr)) {
    std::fputs(
        "usage: vtl_tls_sink [--starttls] CHAIN_AND_KEY.pem [-- COMMAND [ARG...]]\n"
        "       vtl_tls_sink --plain [-- COMMAND [ARG...]]\n",
        stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  SSL_CTX* ctx = pem != nullptr ? MakeContext(pem) : nullptr;
  if (pem != nullptr && ctx == nullptr) return 1;
  uint16_t port = 0;
  const int listener = Listen(port);
  if (listener < 0) return 1;
  const std::string address = "127.0.0.1:" + std::to_string(port);

  pid_t child = -1;
  if (command) {
    child = fork();
    if (child == 0) {
      setenv("VTL_BENCH_TLS_SERVER", address.c_str(), 1);
      execvp(argv[arg + 1], argv + arg + 1);
      std::perror(argv[arg + 1]);
      _exit(127);
    }
    if (child < 0) return 1;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  g_printMails = !command;
  std::thread([ctx, mode, listener] {
    for (;;) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) Serve(ctx, mode, fd);
    }
  }).detach();

  int status = 0;
  if (command) {
    while (waitpid(child, &status, 0) < 0) {
    }
    status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    std::printf("ready 127.0.0.1 %u\n", port);
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
  }
  PrintStats();
  _exit(status);
}
