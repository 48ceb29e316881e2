#include "shell/launcher.h"

namespace vtl::shell {

int Internet(void* window, const char* target, Opener opener, std::string& detail) noexcept {
  try {
    detail.clear();
    if (target == nullptr || *target == '\0' || opener == nullptr) {
      detail = target == nullptr ? "target is null"
               : *target == '\0' ? "target is empty"
                                 : "no opener";
      return 0;
    }
    const bool taken = opener(window, target, detail);
    if (detail.empty()) detail = taken ? "opened" : "the desktop did not take the request";
    return taken ? 1 : 0;
  } catch (...) {
    detail.clear();
    return 0;
  }
}

}  // namespace vtl::shell
