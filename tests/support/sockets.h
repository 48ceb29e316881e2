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

// A TCP socket bound to `host`:`port` (0: any free port), or kNoSocket.
inline SocketHandle BoundSocket(const std::string& host, uint16_t port) {
  const SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == kNoSocket) return s;
#ifdef _WIN32
  // On Windows SO_REUSEADDR would let two servers share the port; this
  // makes a second one fail to bind, as on POSIX.
  SetIntOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
#else
  SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1 ||
      ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    CloseSocket(s);
    return kNoSocket;
  }
  return s;
}

inline uint16_t LocalPort(SocketHandle s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// Starts connecting to 127.0.0.1:`port` without waiting for the answer.
inline SocketHandle ConnectPending(uint16_t port) {
  const SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == kNoSocket) return s;
  SetNonBlocking(s);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  return s;
}

}  // namespace vtl::test
