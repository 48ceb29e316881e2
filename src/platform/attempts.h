// The words a connect gives back for the detail, the same on every system:
// why each address failed, on one short line. No OS header here.
#pragma once

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
// is one short line: only the first few are named.
class Attempts {
 public:
  // `address` as "192.0.2.1:25" or "[2001:db8::1]:25"; `what` says which
  // step failed, where it was not the connect.
  void Failed(const std::string& address, const std::string& why, const char* what = "") {
    if (listed_.size() < kListed)
      listed_.push_back(address + " " + what + why);
    else
      ++more_;
    if (count_++ == 0)
      sameWhy_ = why;
    else if (why != sameWhy_)
      sameWhy_.clear();
  }

  // With `briefly`, the reason alone when every address failed for the
  // same one: a socket that cannot be made is seldom the address's fault.
  std::string Text(bool briefly) const {
    if (briefly && !sameWhy_.empty()) return sameWhy_;
    std::string text;
    for (const std::string& one : listed_) text.append(text.empty() ? "" : "; ").append(one);
    if (more_ > 0) text.append("; and ").append(std::to_string(more_)).append(" more");
    return text;
  }

 private:
  static constexpr size_t kListed = 8;
  std::vector<std::string> listed_;
  size_t more_ = 0;
  size_t count_ = 0;
  std::string sameWhy_;
};

}  // namespace vtl::platform
