// Opening a target on Windows: the shell's "open" verb.
#include "platform/platform.h"
#include "platform/win/com.h"
// (after windows.h)
#include <shellapi.h>

namespace vtl::platform {

bool OpenWithDefaultHandler(void* window, const char* target, std::string& /*detail*/) {
  const win::ComForShell com;
  const HINSTANCE result =
      ShellExecuteA(static_cast<HWND>(window), "open", target, nullptr, nullptr, SW_SHOWNORMAL);
  // Above 32 means success; 32 and below are the shell's error codes.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace vtl::platform
