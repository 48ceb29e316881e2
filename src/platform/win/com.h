// COM on the calling thread, as the shell wants it for ShellExecute.
#pragma once

#include "platform/win/winsock.h"  // windows.h, after winsock2.h
// (after windows.h)
#include <objbase.h>

namespace vtl::platform::win {

// A single-threaded apartment without OLE1 DDE, for the life of the object.
// A thread that already has an apartment keeps it; whatever this object
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

}  // namespace vtl::platform::win
