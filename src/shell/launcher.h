// Opening a target (an address, a document, a program) with the desktop's
// default handler, on behalf of a host window.
#pragma once

#include <string>

namespace vtl::shell {

// What the desktop does with a target: true when it took the request;
// `detail` says which handler was tried and why it did not take it.
using Opener = bool (*)(void* window, const char* target, std::string& detail);

// The whole of VTLInternet: 1 when the opener took the target, else 0. A
// null or empty target is refused without asking the opener. `detail`
// says why, in one line.
int Internet(void* window, const char* target, Opener opener, std::string& detail) noexcept;

// The same for a target of another kind of string (UTF-16, for the wide
// entry point): `null` and `empty` say what it is, and open(detail) asks
// the desktop.
template <class Open>
int InternetWith(bool null, bool empty, Open&& open, std::string& detail) noexcept {
  try {
    detail.clear();
    if (null || empty) {
      detail = null ? "target is null" : "target is empty";
      return 0;
    }
    const bool taken = open(detail);
    if (detail.empty()) detail = taken ? "opened" : "the desktop did not take the request";
    return taken ? 1 : 0;
  } catch (...) {
    detail.clear();
    return 0;
  }
}

}  // namespace vtl::shell
