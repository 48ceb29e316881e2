// The few socket calls the tests make themselves, on POSIX and on Windows.
#pragma once

#ifdef _WIN32
#include "platform/win/winsock.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vtl::test {

#ifdef _WIN32
using SocketHandle = SOCKET;
inline const SocketHandle kNoSocket = INVALID_SOCKET;
// Keeps the sockets layer started while the tests use it.
using SocketsUser = platform::win::WinsockSession;
#else
using SocketHandle = int;
inline const SocketHandle kNoSocket = -1;
struct SocketsUser {
  SocketsUser() {}  // nothing to start; user-provided so that holding one is no unused variable
};
#endif

inline void CloseSocket(SocketHandle s) {
#ifdef _WIN32
  closesocket(s);
#else
  ::close(s);
#endif
}

inline void SetIntOption(SocketHandle s, int level, int name, int value) {
  setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// Closing the socket then resets the connection instead of ending it.
inline void ResetOnClose(SocketHandle s) {
  linger hard{};
  hard.l_onoff = 1;
  hard.l_linger = 0;
  setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

// True once the socket can be read (or accepted from) within `ms`.
inline bool WaitReadable(SocketHandle s, int ms) {
#ifdef _WIN32
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(s, &ready);
  timeval tv{ms / 1000, ms % 1000 * 1000};
  return select(0, &ready, nullptr, nullptr, &tv) == 1;
#else
  pollfd p{s, POLLIN, 0};
  return poll(&p, 1, ms) == 1 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
#endif
}

// One send call; never raises SIGPIPE. Returns what was sent, or <= 0.
inline long SendSome(SocketHandle s, const char* p, size_t n) {
#ifdef _WIN32
  return ::send(s, p, static_cast<int>(n), 0);
#else
  return static_cast<long>(::send(s, p, n, MSG_NOSIGNAL));
#endif
}

inline long ReceiveSome(SocketHandle s, char* p, size_t n) {
#ifdef _WIN32
  return ::recv(s, p, static_cast<int>(n), 0);
#else
  return static_cast<long>(::recv(s, p, n, 0));
#endif
}

inline void SetNonBlocking(SocketHandle s) {
#ifdef _WIN32
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
#else
  const int one = 1;
  ioctl(s, FIONBIO, &one);
#endif
}

// `host` (an IPv4 or IPv6 address) and `port` as a socket address; its
// length, or 0 when `host` is no address.
inline socklen_t SocketAddress(const std::string& host, uint16_t port, sockaddr_storage& out) {
  out = {};
  if (host.find(':') != std::string::npos) {
    auto& a = reinterpret_cast<sockaddr_in6&>(out);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    return inet_pton(AF_INET6, host.c_str(), &a.sin6_addr) == 1 ? sizeof a : 0;
  }
  auto& a = reinterpret_cast<sockaddr_in&>(out);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  return inet_pton(AF_INET, host.c_str(), &a.sin_addr) == 1 ? sizeof a : 0;
}

// A TCP socket bound to `host`:`port` (0: any free port), or kNoSocket.
inline SocketHandle BoundSocket(const std::string& host, uint16_t port) {
  sockaddr_storage a;
  const socklen_t length = SocketAddress(host, port, a);
  const SocketHandle s = ::socket(a.ss_family, SOCK_STREAM, 0);
  if (s == kNoSocket) return s;
#ifdef _WIN32
  // On Windows SO_REUSEADDR would let two servers share the port; this
  // makes a second one fail to bind, as on POSIX.
  SetIntOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
#else
  SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
  if (length == 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), length) != 0) {
    CloseSocket(s);
    return kNoSocket;
  }
  return s;
}

inline uint16_t LocalPort(SocketHandle s) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  // The port is in the same place for both families.
  return ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
}

// Starts connecting to `host`:`port` without waiting for the answer.
inline SocketHandle ConnectPending(uint16_t port, const std::string& host = "127.0.0.1") {
  sockaddr_storage a;
  const socklen_t length = SocketAddress(host, port, a);
  const SocketHandle s = ::socket(a.ss_family, SOCK_STREAM, 0);
  if (s == kNoSocket) return s;
  SetNonBlocking(s);
  ::connect(s, reinterpret_cast<const sockaddr*>(&a), length);
  return s;
}

// A listener that accepts nobody, its backlog filled: further connections
// to it stay pending, as to an address whose packets are dropped.
class SilentListener {
 public:
  explicit SilentListener(const std::string& host, uint16_t port = 0)
      : listener_(BoundSocket(host, port)) {
    if (listener_ == kNoSocket || ::listen(listener_, 0) != 0) return;
    port_ = LocalPort(listener_);
    for (int i = 0; i < 4; ++i) fillers_.push_back(ConnectPending(port_, host));
  }
  ~SilentListener() {
    for (const SocketHandle s : fillers_) CloseSocket(s);
    if (listener_ != kNoSocket) CloseSocket(listener_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  uint16_t port() const { return port_; }  // 0 when it could not be made

 private:
  SocketHandle listener_;
  uint16_t port_ = 0;
  std::vector<SocketHandle> fillers_;
};

}  // namespace vtl::test
