// Text that must not outlive its use: credentials, and every line or
// encoding made from them. Its bytes are wiped when it goes, and whenever it
// outgrows its buffer, so no copy of them is left behind in freed memory.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vtl::mail {

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view text) { Append(text); }
  ~Secret() { Clear(); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  // A move leaves nothing behind either: a short text sits inside the
  // string object itself, which the swap copies.
  Secret(Secret&& other) noexcept {
    text_.swap(other.text_);
    other.Clear();
  }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      Clear();
      text_.swap(other.text_);
      other.Clear();
    }
    return *this;
  }

  Secret& Append(std::string_view text) {
    if (text_.size() + text.size() > text_.capacity()) {
      std::string larger;
      larger.reserve(2 * (text_.size() + text.size()) + 32);
      larger.append(text_);
      Clear();
      text_.swap(larger);
    }
    text_.append(text);
    return *this;
  }
  Secret& Append(char c) { return Append(std::string_view(&c, 1)); }

  void Clear() noexcept {
    // The whole buffer: a shorter text may have left bytes past its end.
    platform::Wipe(text_.data(), text_.capacity());
    text_.clear();
  }

  std::string_view view() const { return text_; }
  bool empty() const { return text_.empty(); }

 private:
  std::string text_;
};

}  // namespace vtl::mail
