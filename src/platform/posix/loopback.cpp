// The loopback listener the sign-in's redirect comes back to. Its sockets
// are close-on-exec, so that the browser the sign-in starts holds none of
// them, and non-blocking, so that an accept after poll cannot hang on a
// connection the peer reset in between.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/file_words.h"
#include "platform/listening.h"
#include "platform/platform.h"
#include "platform/posix/fd.h"
#include "platform/posix/socket.h"

namespace vtl::platform {
namespace {

using posix::Fd;
using posix::SocketErrorWords;

// How many connections may wait to be accepted: a browser opens a few at
// once (a favicon, a speculative one).
constexpr int kBacklog = 16;

// A listening socket on `address`; when it is not valid, `error` says why.
Fd ListenOn(const sockaddr* address, socklen_t length, int& error) {
  Fd fd(::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  error = errno;
  if (!fd.valid()) return fd;
  if (address->sa_family == AF_INET6) {
    // [::1] only: never IPv4 through a mapped address.
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  if (::bind(fd.get(), address, length) != 0 || ::listen(fd.get(), kBacklog) != 0) {
    error = errno;
    return Fd();
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

class LoopbackListener final : public DeadlineListener {
 public:
  LoopbackListener(Fd v4, Fd v6, uint16_t port)
      : v4_(std::move(v4)), v6_(std::move(v6)), port_(port) {}

  uint16_t Port() const override { return port_; }

 private:
  std::unique_ptr<Connection> AcceptOnce(Millis left, IoStatus& status) override {
    pollfd polled[2] = {{v4_.get(), POLLIN, 0}, {v6_.get(), POLLIN, 0}};
    const nfds_t count = v6_.valid() ? 2 : 1;
    const int n = poll(polled, count, posix::PollTimeout(left));
    status = n > 0 || (n < 0 && errno == EINTR) ? IoStatus::Interrupted
             : n == 0                           ? IoStatus::TimedOut
                                                : IoStatus::Failed;
    for (nfds_t k = 0; n > 0 && k < count; ++k) {
      if (polled[k].revents == 0) continue;
      Fd accepted(accept4(polled[k].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (accepted.valid()) {
        // Answers are written whole: nothing is gained by Nagle's delay.
        const int one = 1;
        setsockopt(accepted.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        status = IoStatus::Ok;
        return std::make_unique<posix::SocketConnection>(std::move(accepted));
      }
      // Gone before it was taken, or taken by a signal: waited for again.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR &&
          errno != EPROTO) {
        status = IoStatus::Failed;
        return nullptr;
      }
    }
    return nullptr;
  }

  Fd v4_;
  Fd v6_;  // not valid when [::1] could not be had
  uint16_t port_;
};

// How often a port is picked again when another program holds [::1] on it:
// a browser that resolves "localhost" to [::1] first would reach that one.
constexpr int kPicks = 4;

ListenOutcome Listen() {
  ListenOutcome outcome;
  int error = 0;
  for (int pick = 0; pick < kPicks; ++pick) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4.sin_port = 0;  // the system picks
    Fd v4Socket = ListenOn(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, error);
    if (!v4Socket.valid()) {
      outcome.why = "no port on 127.0.0.1: " + SocketErrorWords(error);
      return outcome;
    }
    const uint16_t port = BoundPort(v4Socket.get());
    if (port == 0) {
      outcome.why = "no port on 127.0.0.1: " + SocketErrorWords(errno);
      return outcome;
    }
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(port);
    Fd v6Socket = ListenOn(reinterpret_cast<const sockaddr*>(&v6), sizeof v6, error);
    // No IPv6 here is no fault; only a port taken on [::1] is worth another pick.
    if (v6Socket.valid() || error != EADDRINUSE || pick + 1 == kPicks) {
      outcome.listener =
          std::make_unique<LoopbackListener>(std::move(v4Socket), std::move(v6Socket), port);
      return outcome;
    }
  }
  return outcome;
}

}  // namespace

ListenOutcome ListenOnLoopback() {
  try {
    return Listen();
  } catch (const std::bad_alloc&) {
    return {nullptr, std::string(file_words::kOutOfMemory)};
  }
}

}  // namespace vtl::platform
