// TCP connections on Windows Sockets (the connection itself is in
// socket.h). Each connection starts the sockets layer for itself and cleans
// it up after its socket is closed.
#include <chrono>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "platform/attempts.h"
#include "platform/platform.h"
#include "platform/race.h"
#include "platform/win/socket.h"
#include "platform/win/winsock.h"

namespace vtl::platform {
namespace win {

// Words of our own for the sockets layer's and the resolver's errors, the
// same as on Linux for the same faults. FormatMessage would give them in
// the user's language, differently again under Wine, and the detail is one
// line of stable English ASCII.
std::string SocketErrorWords(int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return "connection refused";
    case WSAENETUNREACH:
      return "network unreachable";
    case WSAEHOSTUNREACH:
      return "host unreachable";
    case WSAECONNRESET:
      return "connection reset";
    case WSAECONNABORTED:
      return "connection aborted";
    case WSAEACCES:
      return "not permitted (a firewall?)";
    case WSAENETDOWN:
      return "network is down";
    case WSAEADDRNOTAVAIL:
      return "no local address or port available";
    case WSAEADDRINUSE:
      return "address already in use";
    case WSAEAFNOSUPPORT:
      return "address family not supported";
    case WSAEPROTONOSUPPORT:
      return "protocol not supported";
    case WSAESOCKTNOSUPPORT:
      return "socket type not supported";
    case WSAEMFILE:
      return "too many open files";
    case WSAENOBUFS:
      return "out of buffer space";
    case WSA_NOT_ENOUGH_MEMORY:
      return "out of memory";
    // The resolver's, in the words Linux gives the same EAI_ codes.
    case WSAHOST_NOT_FOUND:  // EAI_NONAME
      return "name or service not known";
    case WSATRY_AGAIN:  // EAI_AGAIN
      return "temporary failure in name resolution";
    case WSANO_RECOVERY:  // EAI_FAIL
      return "non-recoverable failure in name resolution";
    case WSANO_DATA:  // EAI_NODATA
      return "no address associated with hostname";
    case WSATYPE_NOT_FOUND:  // EAI_SERVICE
      return "service not known";
    case WSAEINVAL:
      return "invalid argument";
    case WSANOTINITIALISED:
      return "the sockets layer is not started";
    case WSASYSNOTREADY:
      return "the network subsystem is not ready";
    case WSAVERNOTSUPPORTED:
      return "the sockets layer does not offer the version asked for";
    case WSAEPROCLIM:
      return "too many programs use the sockets layer";
    case WSAEINPROGRESS:
      return "a blocking call is in progress";
    default:
      return "error " + std::to_string(error);
  }
}

namespace {

struct AddrInfoList {
  addrinfo* head = nullptr;
  AddrInfoList() = default;
  AddrInfoList(const AddrInfoList&) = delete;
  AddrInfoList& operator=(const AddrInfoList&) = delete;
  ~AddrInfoList() {
    if (head != nullptr) freeaddrinfo(head);
  }
};

// Why the sockets layer did not start. The session keeps only that it did
// not, so it is asked once more (it failed a moment ago and fails the same
// way); a start that succeeds after all is undone.
int StartupError(WORD version) {
  WSADATA data;
  const int error = WSAStartup(version, &data);
  if (error == 0) WSACleanup();
  return error;
}

// "192.0.2.1:25", "[2001:db8::1]:25", "[fe80::1%12]:25": a link-local
// address is no address without its interface (RFC 4007 11), which
// Windows numbers.
std::string AddressText(const addrinfo& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ai_family == AF_INET) {
    auto& v4 = *reinterpret_cast<sockaddr_in*>(a.ai_addr);
    if (inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) == nullptr) return "?";
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
  }
  if (a.ai_family == AF_INET6) {
    auto& v6 = *reinterpret_cast<sockaddr_in6*>(a.ai_addr);
    if (inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) == nullptr) return "?";
    std::string address = "[" + std::string(text);
    if (v6.sin6_scope_id != 0) address.append("%").append(std::to_string(v6.sin6_scope_id));
    return address + "]:" + std::to_string(ntohs(v6.sin6_port));
  }
  return "address family " + std::to_string(a.ai_family);
}

// The sockets of one connect: each address's attempt non-blocking, all of
// them waited on at once with select.
class WinsockRacer final : public Racer {
 public:
  explicit WinsockRacer(const std::vector<const addrinfo*>& order) : order_(order) {
    sockets_.resize(order.size());
  }

  Began Begin(size_t index, std::string& why) override {
    const addrinfo& a = *order_[index];
    // `new` allocates before the socket is made: no allocation that fails
    // can leave it open.
    std::unique_ptr<Socket> s(new Socket(NewSocket(a.ai_family, a.ai_socktype, a.ai_protocol)));
    if (!s->valid()) {
      why = SocketErrorWords(WSAGetLastError());
      return Began::NoSocket;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(s->get(), FIONBIO, &nonBlocking) != 0) {
      why = "not made non-blocking: " + SocketErrorWords(WSAGetLastError());
      return Began::Failed;
    }
    const bool connected = ::connect(s->get(), a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0;
    const int error = connected ? 0 : WSAGetLastError();
    if (!connected && error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) {
      why = SocketErrorWords(error);
      return Began::Failed;
    }
    sockets_[index] = std::move(s);
    return connected ? Began::Connected : Began::Pending;
  }

  // A connect that failed shows in the exception set, one that succeeded
  // in the write set.
  void Wait(const std::vector<size_t>& racing, Millis timeout, std::vector<Ended>& ended) override {
    fd_set written;
    fd_set failed;
    FD_ZERO(&written);
    FD_ZERO(&failed);
    for (const size_t index : racing) {
      FD_SET(sockets_[index]->get(), &written);
      FD_SET(sockets_[index]->get(), &failed);
    }
    timeval tv = ToTimeval(timeout);
    const int n = select(0, nullptr, &written, &failed, &tv);
    if (n == 0 || (n < 0 && WSAGetLastError() == WSAEINTR)) return;
    // select itself failing ends every attempt, with its error.
    const int selectError = n < 0 ? WSAGetLastError() : 0;
    for (const size_t index : racing) {
      const SOCKET s = sockets_[index]->get();
      if (n > 0 && !FD_ISSET(s, &written) && !FD_ISSET(s, &failed)) continue;
      int error = selectError;
      int size = sizeof error;
      if (error == 0 &&
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
        error = WSAGetLastError();
      // In the exception set with no error recorded: failed all the same.
      if (error == 0 && FD_ISSET(s, &failed)) error = WSAECONNREFUSED;
      ended.push_back({index, error == 0, error == WSAETIMEDOUT, SocketErrorWords(error)});
    }
  }

  void Drop(size_t index) override { sockets_[index].reset(); }

  std::string Name(size_t index) override { return AddressText(*order_[index]); }

  SOCKET Take(size_t index) { return sockets_[index]->release(); }

 private:
  const std::vector<const addrinfo*>& order_;
  std::vector<std::unique_ptr<Socket>> sockets_;
};

// Races the addresses in `order` as RFC 8305 says; the connection made
// owns `session`.
ConnectOutcome ConnectToAny(std::unique_ptr<WinsockSession> session,
                            const std::vector<const addrinfo*>& order, Millis timeout) {
  ConnectOutcome outcome;
  WinsockRacer racer(order);
  const RaceOutcome race = Race(racer, order.size(), timeout);
  outcome.result = race.result;
  outcome.detail = race.detail;
  if (race.result != 0) return outcome;
  outcome.address = racer.Name(race.winner);
  // The connection's memory first, so that the socket is never without an
  // owner.
  outcome.connection.reset(new WinsockConnection(std::move(session), racer.Take(race.winner)));
  return outcome;
}

class WinsockNetwork final : public Network {
 public:
  explicit WinsockNetwork(WORD version) : version_(version) {}

  ConnectOutcome Connect(const std::string& host, uint16_t port, Millis timeout) override {
    ConnectOutcome outcome;
    auto session = std::make_unique<WinsockSession>(version_);
    if (!session->started()) {
      outcome.result = 1;
      outcome.detail = SocketErrorWords(StartupError(version_));
      return outcome;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    // An address is connected to as it is written: the resolver would read
    // some forms of it its own way (octal parts, say), and the certificate
    // is checked against this one.
    unsigned char parsed[16];
    if (inet_pton(AF_INET, host.c_str(), parsed) == 1 ||
        inet_pton(AF_INET6, host.c_str(), parsed) == 1)
      hints.ai_flags |= AI_NUMERICHOST;
    AddrInfoList list;
    const std::string service = std::to_string(port);
    // getaddrinfo returns the sockets layer's error code itself.
    const int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &list.head);
    if (resolved != 0 || list.head == nullptr) {
      outcome.result = 2;
      outcome.detail = resolved != 0 ? SocketErrorWords(resolved) : "no address";
      return outcome;
    }
    std::vector<const addrinfo*> sorted;
    for (const addrinfo* a = list.head; a != nullptr; a = a->ai_next) sorted.push_back(a);
    return ConnectToAny(std::move(session),
                        Interleaved(sorted, [](const addrinfo* a) { return a->ai_family; }),
                        timeout);
  }

 private:
  WORD version_;
};

}  // namespace

std::unique_ptr<Network> NewWinsockNetwork(WORD version) {
  return std::make_unique<WinsockNetwork>(version);
}

}  // namespace win

Network& SystemNetwork() {
  static win::WinsockNetwork network(win::kWinsockVersion);
  return network;
}

ConnectOutcome ConnectToAddresses(const std::vector<std::string>& addresses, uint16_t port,
                                  Millis timeout) {
  auto session = std::make_unique<win::WinsockSession>();
  if (!session->started()) return {};
  std::vector<win::AddrInfoList> lists(addresses.size());
  std::vector<const addrinfo*> order;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (getaddrinfo(addresses[i].c_str(), std::to_string(port).c_str(), &hints, &lists[i].head) !=
        0)
      return {};
    order.push_back(lists[i].head);
  }
  return win::ConnectToAny(std::move(session), order, timeout);
}

}  // namespace vtl::platform
