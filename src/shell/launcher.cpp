#include "shell/launcher.h"

namespace vtl::shell {

int Internet(void* window, const char* target, Opener opener) noexcept {
  if (target == nullptr || *target == '\0' || opener == nullptr) return 0;
  try {
    return opener(window, target) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace vtl::shell
