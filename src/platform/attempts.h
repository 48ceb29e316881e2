// The words a connect gives back for the detail, the same on every system:
// why each address failed, on one short line. No OS header here.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vtl::platform {

// The time-out as a person reads it: "30 s", "0.3 s".
inline std::string Seconds(Millis timeout) {
  const long long ms = timeout.count() < 0 ? 0 : timeout.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = std::to_string(ms % 1000 + 1000).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    text.append(".").append(fraction);
  }
  return text + " s";
}

// Why each address failed. A name may have many addresses, and the detail
// is one short line: the first few are named, the rest counted by reason.
class Attempts {
 public:
  // For a reason that holds no time.
  static constexpr Millis kUntimed{-1};

  // `address` as "192.0.2.1:25" or "[fe80::1%eth0]:25"; `what` says which
  // step failed, where it was not the connect; `why` is the reason, and
  // `within` how long it held, where it is a wait ("no answer" within
  // 29.75 s).
  void Failed(const std::string& address, const std::string& why, const char* what = "",
              Millis within = kUntimed) {
    const std::string kind = what + why;
    const std::string timed = within < Millis::zero() ? "" : " within " + Seconds(within);
    if (listed_.size() < kListed) {
      listed_.push_back(address + " " + kind + timed);
    } else {
      // Addresses of one kind waited for different times: grouped all
      // the same, with the shortest and the longest.
      auto group =
          std::find_if(more_.begin(), more_.end(), [&](const Group& g) { return g.kind == kind; });
      if (group == more_.end()) group = more_.insert(more_.end(), Group{kind, 0, within, within});
      ++group->count;
      group->shortest = std::min(group->shortest, within);
      group->longest = std::max(group->longest, within);
    }
    if (count_++ == 0)
      sameWhy_ = why + timed;
    else if (why + timed != sameWhy_)
      sameWhy_.clear();
  }

  // With `briefly`, the reason alone when every address failed for the
  // same one: a socket that cannot be made is seldom the address's fault.
  std::string Text(bool briefly) const {
    if (briefly && !sameWhy_.empty()) return sameWhy_;
    std::string text;
    for (const std::string& one : listed_) text.append(text.empty() ? "" : "; ").append(one);
    size_t more = 0;
    for (const Group& g : more_) more += g.count;
    if (more == 0) return text;
    text.append("; and ").append(std::to_string(more)).append(" more: ");
    for (const Group& g : more_) {
      if (&g != &more_.front()) text.append(", ");
      text.append(std::to_string(g.count)).append(" ").append(g.kind);
      if (g.longest < Millis::zero()) continue;
      text.append(" within ");
      if (g.shortest != g.longest) {
        std::string shortest = Seconds(g.shortest);
        text.append(shortest, 0, shortest.size() - 2).append(" to ");
      }
      text.append(Seconds(g.longest));
    }
    return text;
  }

 private:
  static constexpr size_t kListed = 8;
  struct Group {
    std::string kind;  // the reason without its time
    size_t count = 0;
    Millis shortest{0}, longest{0};
  };
  std::vector<std::string> listed_;
  std::vector<Group> more_;  // in the order first met
  size_t count_ = 0;
  std::string sameWhy_;
};

}  // namespace vtl::platform
