// TCP connections on POSIX sockets. Every socket is non-blocking and every
// wait goes through poll, so no call can block past its time-out.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "platform/attempts.h"
#include "platform/platform.h"
#include "platform/posix/socket.h"
#include "platform/race.h"

namespace vtl::platform {

// Words of our own for the errors a connection meets, the same as on
// Windows.
std::string posix::SocketErrorWords(int error) {
  switch (error) {
    case ECONNREFUSED:
      return "connection refused";
    case ENETUNREACH:
      return "network unreachable";
    case EHOSTUNREACH:
      return "host unreachable";
    case ECONNRESET:
      return "connection reset";
    case ECONNABORTED:
      return "connection aborted";
    case EACCES:
    case EPERM:
      return "not permitted (a firewall?)";
    case ENETDOWN:
      return "network is down";
    case EADDRNOTAVAIL:
      return "no local address or port available";
    case EADDRINUSE:
      return "address already in use";
    case EAFNOSUPPORT:
      return "address family not supported";
    case EPROTONOSUPPORT:
      return "protocol not supported";
    case EMFILE:
      return "too many open files";
    case ENFILE:
      return "too many open files in the system";
    case ENOBUFS:
      return "out of buffer space";
    case ENOMEM:
      return "out of memory";
    default:
      return "error " + std::to_string(error);
  }
}

namespace {

using posix::Fd;
using posix::PollTimeout;
using posix::SocketConnection;
using posix::SocketErrorWords;

struct AddrInfoList {
  addrinfo* head = nullptr;
  AddrInfoList() = default;
  AddrInfoList(const AddrInfoList&) = delete;
  AddrInfoList& operator=(const AddrInfoList&) = delete;
  ~AddrInfoList() {
    if (head != nullptr) freeaddrinfo(head);
  }
};

// The resolver's errors in words of our own, the same as on Windows for
// the same fault. gai_strerror's are translated in some locales (and then
// not ASCII) and differ between C libraries.
std::string ResolverWords(int code, int systemError) {
  switch (code) {
    case EAI_NONAME:
      return "name or service not known";
    case EAI_AGAIN:
      return "temporary failure in name resolution";
    case EAI_FAIL:
      return "non-recoverable failure in name resolution";
#ifdef EAI_NODATA
    case EAI_NODATA:
      return "no address associated with hostname";
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return "no address of the family asked for";
#endif
    case EAI_FAMILY:
      return "address family not supported";
    case EAI_SOCKTYPE:
      return "socket type not supported";
    case EAI_SERVICE:
      return "service not known";
    case EAI_MEMORY:
      return "out of memory";
    case EAI_BADFLAGS:
      return "invalid argument";
#ifdef EAI_OVERFLOW
    case EAI_OVERFLOW:
      return "argument buffer overflow";
#endif
    case EAI_SYSTEM:
      return "resolver: " + SocketErrorWords(systemError);
    default:
      return "resolver error " + std::to_string(code);
  }
}

// "192.0.2.1:25", "[2001:db8::1]:25", "[fe80::1%eth0]:25": a link-local
// address is no address without its interface (RFC 4007 11).
std::string AddressText(const addrinfo& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ai_family == AF_INET) {
    const auto& v4 = *reinterpret_cast<const sockaddr_in*>(a.ai_addr);
    if (inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) == nullptr) return "?";
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
  }
  if (a.ai_family == AF_INET6) {
    const auto& v6 = *reinterpret_cast<const sockaddr_in6*>(a.ai_addr);
    if (inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) == nullptr) return "?";
    std::string address = "[" + std::string(text);
    if (v6.sin6_scope_id != 0) {
      char name[IF_NAMESIZE] = {};
      std::string zone = if_indextoname(v6.sin6_scope_id, name) != nullptr ? name : "";
      // An interface's name may hold bytes that are not ASCII; the detail may not.
      if (zone.empty() ||
          !std::all_of(zone.begin(), zone.end(), [](char c) { return c > 0x20 && c < 0x7F; }))
        zone = std::to_string(v6.sin6_scope_id);
      address.append("%").append(zone);
    }
    return address + "]:" + std::to_string(ntohs(v6.sin6_port));
  }
  return "address family " + std::to_string(a.ai_family);
}

// The sockets of one connect: each address's attempt non-blocking, all of
// them waited on at once with poll.
class PosixRacer final : public Racer {
 public:
  explicit PosixRacer(const std::vector<const addrinfo*>& order) : order_(order) {
    sockets_.resize(order.size());
  }

  Began Begin(size_t index, std::string& why) override {
    const addrinfo& a = *order_[index];
    Fd fd(::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol));
    if (!fd.valid()) {
      why = SocketErrorWords(errno);
      return Began::NoSocket;
    }
    const bool connected = ::connect(fd.get(), a.ai_addr, a.ai_addrlen) == 0;
    // Interrupted, the connect goes on by itself, as one in progress does.
    if (!connected && errno != EINPROGRESS && errno != EINTR) {
      why = SocketErrorWords(errno);
      return Began::Failed;
    }
    sockets_[index] = std::make_unique<Fd>(std::move(fd));
    return connected ? Began::Connected : Began::Pending;
  }

  void Wait(const std::vector<size_t>& racing, Millis timeout, std::vector<Ended>& ended) override {
    std::vector<pollfd> polled;
    for (const size_t index : racing) polled.push_back({sockets_[index]->get(), POLLOUT, 0});
    const int n = poll(polled.data(), polled.size(), PollTimeout(timeout));
    if (n == 0 || (n < 0 && errno == EINTR)) return;
    // poll itself failing ends every attempt, with its error.
    const int pollError = n < 0 ? errno : 0;
    for (size_t k = 0; k < polled.size(); ++k) {
      if (n > 0 && polled[k].revents == 0) continue;
      int error = pollError;
      socklen_t size = sizeof error;
      if (error == 0 && getsockopt(polled[k].fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
      // Readiness with no error on the socket is a connection made.
      ended.push_back({racing[k], error == 0, error == ETIMEDOUT, SocketErrorWords(error)});
    }
  }

  void Drop(size_t index) override { sockets_[index].reset(); }

  std::string Name(size_t index) override { return AddressText(*order_[index]); }

  Fd Take(size_t index) { return std::move(*sockets_[index]); }

 private:
  const std::vector<const addrinfo*>& order_;
  std::vector<std::unique_ptr<Fd>> sockets_;
};

// Races the addresses in `order` as RFC 8305 says.
ConnectOutcome ConnectToAny(const std::vector<const addrinfo*>& order, Millis timeout) {
  ConnectOutcome outcome;
  PosixRacer racer(order);
  const RaceOutcome race = Race(racer, order.size(), timeout);
  outcome.result = race.result;
  outcome.detail = race.detail;
  if (race.result != 0) return outcome;
  outcome.address = racer.Name(race.winner);
  Fd fd = racer.Take(race.winner);
  // Commands are written whole, one at a time: nothing is gained by
  // letting Nagle hold the next one back.
  const int one = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  outcome.connection = std::make_unique<SocketConnection>(std::move(fd));
  return outcome;
}

class PosixNetwork final : public Network {
 public:
  ConnectOutcome Connect(const std::string& host, uint16_t port, Millis timeout) override {
    ConnectOutcome outcome;
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
    const int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &list.head);
    const int resolverErrno = errno;
    if (resolved != 0 || list.head == nullptr) {
      outcome.result = 2;
      outcome.detail = resolved != 0 ? ResolverWords(resolved, resolverErrno) : "no address";
      return outcome;
    }
    std::vector<const addrinfo*> sorted;
    for (const addrinfo* a = list.head; a != nullptr; a = a->ai_next) sorted.push_back(a);
    return ConnectToAny(Interleaved(sorted, [](const addrinfo* a) { return a->ai_family; }),
                        timeout);
  }
};

}  // namespace

Network& SystemNetwork() {
  static PosixNetwork network;
  return network;
}

ConnectOutcome ConnectToAddresses(const std::vector<std::string>& addresses, uint16_t port,
                                  Millis timeout) {
  std::vector<AddrInfoList> lists(addresses.size());
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
  return ConnectToAny(order, timeout);
}

}  // namespace vtl::platform
