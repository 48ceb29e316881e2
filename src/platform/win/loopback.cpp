// The loopback listener the sign-in's redirect comes back to. Its sockets
// are not inherited, so that the browser the sign-in starts holds none of
// them; bound with SO_EXCLUSIVEADDRUSE, so that no other program can bind
// the same port and take the redirect; and non-blocking, so that an accept
// after select cannot hang on a connection the peer reset in between.
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/file_words.h"
#include "platform/listening.h"
#include "platform/platform.h"
#include "platform/win/socket.h"
#include "platform/win/winsock.h"

namespace vtl::platform {
namespace {

using win::Socket;
using win::SocketErrorWords;
using win::WinsockSession;

// How many connections may wait to be accepted: a browser opens a few at
// once (a favicon, a speculative one).
constexpr int kBacklog = 16;

// How often a port is picked again when another program holds [::1] on it:
// a browser that resolves "localhost" to [::1] first would reach that one.
constexpr int kPicks = 4;

// A listening socket on `address`, or INVALID_SOCKET with `error` saying why.
SOCKET ListenOn(const sockaddr* address, int length, int& error) {
  Socket s(win::NewSocket(address->sa_family, SOCK_STREAM, IPPROTO_TCP));
  const BOOL on = TRUE;
  u_long nonBlocking = 1;
  const bool ready = s.valid() &&
                     setsockopt(s.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                                reinterpret_cast<const char*>(&on), sizeof on) == 0 &&
                     // [::1] only: never IPv4 through a mapped address.
                     (address->sa_family != AF_INET6 ||
                      setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY,
                                 reinterpret_cast<const char*>(&on), sizeof on) == 0) &&
                     ioctlsocket(s.get(), FIONBIO, &nonBlocking) == 0 &&
                     ::bind(s.get(), address, length) == 0 && ::listen(s.get(), kBacklog) == 0;
  error = ready ? 0 : WSAGetLastError();
  return ready ? s.release() : INVALID_SOCKET;
}

class LoopbackListener final : public DeadlineListener {
 public:
  explicit LoopbackListener(std::unique_ptr<WinsockSession> session)
      : session_(std::move(session)) {}

  // Listens on 127.0.0.1, then on [::1] on the same port where it can; the
  // words of a failure, else empty.
  std::string Open() {
    for (int pick = 0; pick < kPicks; ++pick) {
      sockaddr_in v4{};
      v4.sin_family = AF_INET;
      v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      v4.sin_port = 0;  // the system picks
      int error = 0;
      v4_.reset(ListenOn(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, error));
      if (!v4_.valid()) return "no port on 127.0.0.1: " + SocketErrorWords(error);
      int length = sizeof v4;
      if (getsockname(v4_.get(), reinterpret_cast<sockaddr*>(&v4), &length) != 0)
        return "no port on 127.0.0.1: " + SocketErrorWords(WSAGetLastError());
      port_ = ntohs(v4.sin_port);
      sockaddr_in6 v6{};
      v6.sin6_family = AF_INET6;
      v6.sin6_addr = in6addr_loopback;
      v6.sin6_port = v4.sin_port;
      v6_.reset(ListenOn(reinterpret_cast<const sockaddr*>(&v6), sizeof v6, error));
      // No IPv6 here is no fault; only a port taken on [::1] is worth another pick.
      if (v6_.valid() || (error != WSAEADDRINUSE && error != WSAEACCES)) return {};
    }
    return {};
  }

  uint16_t Port() const override { return port_; }

 private:
  std::unique_ptr<Connection> AcceptOnce(Millis left, IoStatus& status) override {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(v4_.get(), &ready);
    if (v6_.valid()) FD_SET(v6_.get(), &ready);
    timeval tv = win::ToTimeval(left);
    const int n = select(0, &ready, nullptr, nullptr, &tv);
    status = n > 0 || (n < 0 && WSAGetLastError() == WSAEINTR) ? IoStatus::Interrupted
             : n == 0                                          ? IoStatus::TimedOut
                                                               : IoStatus::Failed;
    for (const Socket* listening : {&v4_, &v6_}) {
      if (n <= 0 || !listening->valid() || !FD_ISSET(listening->get(), &ready)) continue;
      // The connection's sockets layer first, and its memory before the
      // socket leaves `accepted` (C++17 allocates before it evaluates the
      // constructor's arguments): the socket is never without an owner.
      auto session = std::make_unique<WinsockSession>();
      Socket accepted(::accept(listening->get(), nullptr, nullptr));
      if (accepted.valid()) {
        // Marked as the listening socket is: not inherited, non-blocking.
        SetHandleInformation(reinterpret_cast<HANDLE>(accepted.get()), HANDLE_FLAG_INHERIT, 0);
        u_long nonBlocking = 1;
        if (ioctlsocket(accepted.get(), FIONBIO, &nonBlocking) != 0) {
          status = IoStatus::Failed;
          return nullptr;
        }
        status = IoStatus::Ok;
        return std::unique_ptr<Connection>(
            new win::WinsockConnection(std::move(session), accepted.release()));
      }
      // Gone before it was taken: waited for again.
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK && error != WSAECONNRESET && error != WSAEINTR) {
        status = IoStatus::Failed;
        return nullptr;
      }
    }
    return nullptr;
  }

  // Destroyed in reverse: the sockets are closed before the sockets layer
  // is cleaned up.
  std::unique_ptr<WinsockSession> session_;
  Socket v4_;
  Socket v6_;  // not valid when [::1] could not be had
  uint16_t port_ = 0;
};

}  // namespace

ListenOutcome ListenOnLoopback() {
  ListenOutcome outcome;
  try {
    auto session = std::make_unique<WinsockSession>();
    if (!session->started()) {
      outcome.why = "the sockets layer did not start";
      return outcome;
    }
    auto listener = std::make_unique<LoopbackListener>(std::move(session));
    outcome.why = listener->Open();
    if (outcome.why.empty()) outcome.listener = std::move(listener);
  } catch (const std::bad_alloc&) {
    outcome.why = file_words::kOutOfMemory;
  }
  return outcome;
}

}  // namespace vtl::platform
