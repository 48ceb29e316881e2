// A connected TCP socket as a Connection, shared by the connections made to
// a server (net.cpp) and those accepted on the loopback (loopback.cpp).
// Every socket is non-blocking and every wait goes through select, so no
// call can block past its time-out.
#pragma once

#include <climits>
#include <memory>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/win/winsock.h"

namespace vtl::platform::win {

// A socket closed when its owner goes.
class Socket {
 public:
  explicit Socket(SOCKET s = INVALID_SOCKET) : s_(s) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
  }
  SOCKET get() const { return s_; }
  bool valid() const { return s_ != INVALID_SOCKET; }
  SOCKET release() { return std::exchange(s_, INVALID_SOCKET); }
  void reset(SOCKET s = INVALID_SOCKET) {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = s;
  }

 private:
  SOCKET s_;
};

inline timeval ToTimeval(Millis timeout) {
  long long ms = timeout.count();
  if (ms < 0) ms = 0;
  if (ms > INT_MAX) ms = INT_MAX;
  timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>(ms % 1000 * 1000);
  return tv;
}

enum class Readiness { Read, Write };

// Waits until the socket can be read or written; Ok when ready. (Only a
// connect watches the exception set, where on a connected socket urgent
// data would wake every wait for nothing.)
inline IoStatus Wait(SOCKET s, Readiness what, Millis timeout) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(s, &ready);
  timeval tv = ToTimeval(timeout);
  const int n = select(0, what == Readiness::Read ? &ready : nullptr,
                       what == Readiness::Write ? &ready : nullptr, nullptr, &tv);
  if (n > 0) return IoStatus::Ok;
  if (n == 0) return IoStatus::TimedOut;
  return WSAGetLastError() == WSAEINTR ? IoStatus::Interrupted : IoStatus::Failed;
}

inline int Clamp(size_t size) {
  return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

class WinsockConnection final : public Connection {
 public:
  WinsockConnection(std::unique_ptr<WinsockSession> session, SOCKET s)
      : session_(std::move(session)), socket_(s) {
    // Commands are written whole, one at a time: nothing is gained by
    // letting Nagle hold the next one back.
    const BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
  }

  IoResult Send(const char* data, size_t size, Millis timeout) override {
    int n = ::send(socket_.get(), data, Clamp(size), 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      const IoStatus s = Wait(socket_.get(), Readiness::Write, timeout);
      if (s != IoStatus::Ok) return {s, 0};
      n = ::send(socket_.get(), data, Clamp(size), 0);
    }
    if (n >= 0) return {IoStatus::Ok, static_cast<size_t>(n)};
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return {IoStatus::Interrupted, 0};
    return {IoStatus::Failed, 0};
  }

  IoResult Receive(char* buffer, size_t size, Millis timeout) override {
    const IoStatus s = Wait(socket_.get(), Readiness::Read, timeout);
    if (s != IoStatus::Ok) return {s, 0};
    const int n = ::recv(socket_.get(), buffer, Clamp(size), 0);
    if (n > 0) return {IoStatus::Ok, static_cast<size_t>(n)};
    if (n == 0) return {IoStatus::Closed, 0};
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return {IoStatus::Interrupted, 0};
    return {IoStatus::Failed, 0};
  }

  size_t Unread() override {
    u_long n = 0;
    return ioctlsocket(socket_.get(), FIONREAD, &n) == 0 ? static_cast<size_t>(n) : 0;
  }

  std::string LocalAddressLiteral() override {
    sockaddr_storage address{};
    int length = sizeof address;
    if (getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
      auto& v4 = reinterpret_cast<sockaddr_in&>(address);
      if (inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) == nullptr) return {};
      return std::string("[").append(text).append("]");
    }
    if (address.ss_family == AF_INET6) {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
      if (inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) == nullptr) return {};
      return std::string("[IPv6:").append(text).append("]");
    }
    return {};
  }

 private:
  // Destroyed in reverse: the socket is closed before the sockets layer is
  // cleaned up.
  std::unique_ptr<WinsockSession> session_;
  Socket socket_;
};

// A socket that processes the host starts later do not inherit. The flag
// is known from Windows 7 SP1 on; before that the handle is marked
// afterwards.
inline SOCKET NewSocket(int family, int type, int protocol) {
  SOCKET s = WSASocketW(family, type, protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET)
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s;
}

// Words of our own for the sockets layer's and the resolver's errors, the
// same as on Linux for the same faults.
std::string SocketErrorWords(int error);

}  // namespace vtl::platform::win
