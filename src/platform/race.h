// Connecting to a name with several addresses without stalling on a dead
// one (RFC 8305, "Happy Eyeballs"), and without a thread: the first address
// is tried; while no attempt has connected, the next starts 250 ms after
// the last one began, or at once when any attempt fails; the earlier ones
// go on. The first to connect wins and the others are closed. One limit
// bounds the whole. The system's sockets come in through Racer; no OS
// header here.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vtl::platform {

using SteadyTime = std::chrono::steady_clock::time_point;

// RFC 8305 5: the connection attempt delay it recommends.
inline constexpr Millis kAttemptDelay{250};
// At most this many attempts at once: select watches no more than 64
// sockets, and a name with that many silent addresses is broken anyway.
inline constexpr size_t kMaxRacing = 32;

// The order of RFC 8305 4: the resolver's, with the address families
// taking turns from the first address's on. `family(x)` tells x's family.
template <class T, class Family>
std::vector<T> Interleaved(const std::vector<T>& sorted, Family family) {
  std::vector<T> first, other, order;
  for (const T& x : sorted) (family(x) == family(sorted[0]) ? first : other).push_back(x);
  for (size_t i = 0; i < first.size() || i < other.size(); ++i) {
    if (i < first.size()) order.push_back(first[i]);
    if (i < other.size()) order.push_back(other[i]);
  }
  return order;
}

// The sockets of one race; address i is the i-th of the order raced.
class Racer {
 public:
  enum class Began {
    Pending,    // the connect is under way
    Connected,  // it connected at once
    NoSocket,   // no socket could be made: `why`
    Failed,     // the connect failed at once: `why`
  };
  struct Ended {
    size_t index = 0;
    bool connected = false;
    bool timedOut = false;  // the system gave up waiting
    std::string why;        // when neither
  };

  virtual ~Racer() = default;
  virtual SteadyTime Now() { return std::chrono::steady_clock::now(); }
  virtual Began Begin(size_t index, std::string& why) = 0;
  // Waits at most `timeout` for attempts among `racing` to end, and adds
  // the ones that did to `ended`. May return early with none.
  virtual void Wait(const std::vector<size_t>& racing, Millis timeout,
                    std::vector<Ended>& ended) = 0;
  // Closes attempt `index`, which lost or ran out of time.
  virtual void Drop(size_t index) = 0;
  // Address `index` as a detail names it: "192.0.2.1:25", "[2001:db8::1]:25",
  // "[fe80::1%eth0]:25".
  virtual std::string Name(size_t index) = 0;
};

struct RaceOutcome {
  int result = 4;  // 0 connected, 3 no socket could be made, 4 none connected
  size_t winner = 0;
  std::string detail;  // when not 0: why each address failed
};

// Races `count` addresses, in the order to try them, within `limit`.
RaceOutcome Race(Racer& racer, size_t count, Millis limit, Millis delay = kAttemptDelay);

// What Network::Connect does once the name is resolved, for numeric
// `addresses` raced in the order given: for tests of the race against the
// system's sockets. Result 4 with no detail when one is not an address.
ConnectOutcome ConnectToAddresses(const std::vector<std::string>& addresses, uint16_t port,
                                  Millis timeout);

}  // namespace vtl::platform
