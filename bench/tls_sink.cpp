// The TLS mail server of the smtps benchmarks: as little work per mail as a
// server can do, so that the clients' time is what the figures show. It
// listens on 127.0.0.1 (a port the system picks), speaks TLS 1.3 only from
// the first byte, and answers every command with a canned reply: AUTH PLAIN
// is taken with any credentials, and the message is read up to its final
// "." and thrown away. One connection at a time; no session tickets.
//
//   vtl_tls_sink CHAIN_AND_KEY.pem -- COMMAND [ARG...]
//       runs COMMAND with VTL_BENCH_TLS_SERVER=127.0.0.1:PORT and exits
//       with its status
//   vtl_tls_sink CHAIN_AND_KEY.pem
//       prints "ready 127.0.0.1 PORT" and serves until SIGTERM or SIGINT
//
// At the end it writes to stderr, for each EHLO name it was given, how many
// sessions were held and with which protocol, cipher and key exchange group:
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

std::mutex g_statsMutex;
std::map<std::string, long> g_stats;  // "ehlo=NAME VERSION CIPHER GROUP" -> sessions

bool Verb(std::string_view line, std::string_view verb) {
  if (line.size() < verb.size()) return false;
  for (size_t i = 0; i < verb.size(); ++i)
    if ((line[i] & ~0x20) != verb[i]) return false;
  return line.size() == verb.size() || line[verb.size()] == ' ' || line[verb.size()] == '\r';
}

bool Reply(SSL* ssl, std::string_view text) {
  size_t written = 0;
  return SSL_write_ex(ssl, text.data(), text.size(), &written) == 1;
}

void Record(SSL* ssl, std::string_view ehloName) {
  const int group = static_cast<int>(SSL_get_negotiated_group(ssl));
  const char* groupName = group != 0 ? SSL_group_to_name(ssl, group) : nullptr;
  std::string key = "ehlo=" + std::string(ehloName) + " " + SSL_get_version(ssl) + " " +
                    SSL_get_cipher_name(ssl) + " " + (groupName != nullptr ? groupName : "?");
  const std::lock_guard<std::mutex> lock(g_statsMutex);
  ++g_stats[key];
}

// One client, from the handshake to QUIT or the end of the connection.
void Serve(SSL_CTX* ctx, int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A client that stalls must not hold up the ones after it for long.
  const timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1 ||
      !Reply(ssl, "220 sink ESMTP\r\n")) {
    SSL_free(ssl);
    close(fd);
    return;
  }
  std::string pending;
  std::string ehloName = "(none)";
  char buffer[16384];
  bool inData = false, authContinues = false, quit = false;
  while (!quit) {
    size_t got = 0;
    if (SSL_read_ex(ssl, buffer, sizeof buffer, &got) != 1) break;
    pending.append(buffer, got);
    size_t start = 0;
    for (size_t end; !quit && (end = pending.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const std::string_view line(pending.data() + start, end + 1 - start);
      bool ok = true;
      if (inData) {
        if (line == ".\r\n" || line == ".\n") {
          inData = false;
          ok = Reply(ssl, "250 2.0.0 taken\r\n");
        }
      } else if (authContinues) {
        authContinues = false;
        ok = Reply(ssl, "235 2.7.0 accepted\r\n");
      } else if (Verb(line, "EHLO")) {
        const size_t last = line.find_last_not_of("\r\n");
        ehloName = last > 4 ? line.substr(5, last - 4) : "(none)";
        ok = Reply(ssl, "250-sink\r\n250-AUTH PLAIN\r\n250-8BITMIME\r\n250 SIZE 0\r\n");
      } else if (Verb(line, "AUTH")) {
        // With an initial response the credentials came with the command.
        authContinues = line.find(' ', 5) == std::string_view::npos;
        ok = Reply(ssl, authContinues ? "334 \r\n" : "235 2.7.0 accepted\r\n");
      } else if (Verb(line, "DATA")) {
        inData = true;
        ok = Reply(ssl, "354 go on\r\n");
      } else if (Verb(line, "QUIT")) {
        quit = true;
        Record(ssl, ehloName);
        ok = Reply(ssl, "221 2.0.0 bye\r\n");
      } else if (Verb(line, "HELO") || Verb(line, "MAIL") || Verb(line, "RCPT") ||
                 Verb(line, "RSET") || Verb(line, "NOOP")) {
        ok = Reply(ssl, "250 2.0.0 ok\r\n");
      } else {
        ok = Reply(ssl, "500 5.5.2 what\r\n");
      }
      if (!ok) quit = true;
    }
    pending.erase(0, start);
  }
  // Our close_notify goes out; the client's is not waited for.
  SSL_shutdown(ssl);
  SSL_free(ssl);
  close(fd);
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
  const bool command = argc > 3 && std::strcmp(argv[2], "--") == 0;
  if (argc != 2 && !command) {
    std::fputs("usage: vtl_tls_sink CHAIN_AND_KEY.pem [-- COMMAND [ARG...]]\n", stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  SSL_CTX* ctx = MakeContext(argv[1]);
  uint16_t port = 0;
  const int listener = ctx != nullptr ? Listen(port) : -1;
  if (listener < 0) return 1;
  const std::string address = "127.0.0.1:" + std::to_string(port);

  pid_t child = -1;
  if (command) {
    child = fork();
    if (child == 0) {
      setenv("VTL_BENCH_TLS_SERVER", address.c_str(), 1);
      execvp(argv[3], argv + 3);
      std::perror(argv[3]);
      _exit(127);
    }
    if (child < 0) return 1;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::thread([ctx, listener] {
    for (;;) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) Serve(ctx, fd);
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
