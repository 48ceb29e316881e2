// A connected TCP socket as a Connection, shared by the connections made to
// a server (net.cpp) and those accepted on the loopback (loopback.cpp).
// Every socket is non-blocking and every wait goes through poll, so no call
// can block past its time-out.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <climits>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/fd.h"

namespace vtl::platform::posix {

inline int PollTimeout(Millis timeout) {
  const auto ms = timeout.count();
  if (ms < 0) return 0;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Waits for `events`; Ok when ready.
inline IoStatus Wait(int fd, short events, Millis timeout) {
  pollfd p{fd, events, 0};
  const int n = poll(&p, 1, PollTimeout(timeout));
  if (n > 0) return IoStatus::Ok;
  if (n == 0) return IoStatus::TimedOut;
  return errno == EINTR ? IoStatus::Interrupted : IoStatus::Failed;
}

class SocketConnection final : public Connection {
 public:
  explicit SocketConnection(Fd fd) : fd_(std::move(fd)) {}

  IoResult Send(const char* data, size_t size, Millis timeout) override {
    // MSG_NOSIGNAL: a peer that went away gives EPIPE, never SIGPIPE.
    ssize_t n = ::send(fd_.get(), data, size, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const IoStatus s = Wait(fd_.get(), POLLOUT, timeout);
      if (s != IoStatus::Ok) return {s, 0};
      n = ::send(fd_.get(), data, size, MSG_NOSIGNAL);
    }
    if (n >= 0) return {IoStatus::Ok, static_cast<size_t>(n)};
    // Woken for nothing, or by a signal: the caller tries again within its deadline.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
      return {IoStatus::Interrupted, 0};
    return {IoStatus::Failed, 0};
  }

  IoResult Receive(char* buffer, size_t size, Millis timeout) override {
    // What has arrived is taken at once; only an empty socket is waited on.
    ssize_t n = ::recv(fd_.get(), buffer, size, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const IoStatus s = Wait(fd_.get(), POLLIN, timeout);
      if (s != IoStatus::Ok) return {s, 0};
      n = ::recv(fd_.get(), buffer, size, 0);
    }
    if (n > 0) return {IoStatus::Ok, static_cast<size_t>(n)};
    if (n == 0) return {IoStatus::Closed, 0};
    if (errno == EINTR) return {IoStatus::Interrupted, 0};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::Interrupted, 0};
    return {IoStatus::Failed, 0};
  }

  size_t Unread() override {
    int n = 0;
    return ioctl(fd_.get(), FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
  }

  std::string LocalAddressLiteral() override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
      const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
      if (inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) == nullptr) return {};
      return std::string("[").append(text).append("]");
    }
    if (address.ss_family == AF_INET6) {
      const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
      if (inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) == nullptr) return {};
      return std::string("[IPv6:").append(text).append("]");
    }
    return {};
  }

 private:
  Fd fd_;
};

// Words of our own for the errors a socket meets, the same as on Windows:
// strerror's follow the host's locale and its C library, and a detail is
// one line of stable English ASCII.
std::string SocketErrorWords(int error);

}  // namespace vtl::platform::posix
