// Opening a target on Windows: the shell's "open" verb.
#include "platform/platform.h"
#include "platform/win/winsock.h"
// (after windows.h)
#include <objbase.h>
#include <shellapi.h>

namespace vtl::platform {
namespace {

// COM as ShellExecute wants it: a single-threaded apartment, without OLE1
// DDE. A thread that already has an apartment keeps it; whatever this call
// started, it ends.
class ComForShell {
 public:
  ComForShell() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // S_OK or S_FALSE: counted, and to be balanced. RPC_E_CHANGED_MODE: the
    // thread is in another apartment already, which is left as it is.
    initialised_ = SUCCEEDED(hr);
  }
  ~ComForShell() {
    if (initialised_) CoUninitialize();
  }
  ComForShell(const ComForShell&) = delete;
  ComForShell& operator=(const ComForShell&) = delete;

 private:
  bool initialised_ = false;
};

}  // namespace

bool OpenWithDefaultHandler(void* window, const char* target) {
  const ComForShell com;
  const HINSTANCE result =
      ShellExecuteA(static_cast<HWND>(window), "open", target, nullptr, nullptr, SW_SHOWNORMAL);
  // Above 32 means success; 32 and below are the shell's error codes.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace vtl::platform
