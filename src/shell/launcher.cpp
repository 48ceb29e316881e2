#include "shell/launcher.h"

namespace vtl::shell {

int Internet(void* window, const char* target, Opener opener, std::string& detail) noexcept {
  return InternetWith(
      target == nullptr, target != nullptr && *target == '\0',
      [&](std::string& why) {
        if (opener != nullptr) return opener(window, target, why);
        why = "no opener";
        return false;
      },
      detail);
}

}  // namespace vtl::shell
