// The DLL's entry point, which is there for the detail slots alone
// (platform.h, ThreadDetailSlot; system.cpp). Only the DLL has it: a test
// program with the core linked in keeps its threads' slots to the end.
#include <windows.h>

namespace vtl::platform::win {
// Defined in system.cpp.
void FreeThreadDetailSlot() noexcept;  // the calling thread's slot, if it has one
void FreeDetailIndex() noexcept;       // that, and the TLS index
}  // namespace vtl::platform::win

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_THREAD_DETACH:
      vtl::platform::win::FreeThreadDetailSlot();
      break;
    case DLL_PROCESS_DETACH:
      // reserved is null when FreeLibrary unloads the DLL and the process
      // goes on; else the process is ending, and the system takes its heap
      // back. On FreeLibrary only the calling thread's slot can be reached:
      // the slots of other threads that called and live on are left on the
      // heap, one each (1 KiB and a little), for the life of the process. The
      // index is given back; should the DLL be loaded again, its new index
      // starts out null in every thread (TlsAlloc), so no thread finds an
      // old slot there.
      if (reserved == nullptr) vtl::platform::win::FreeDetailIndex();
      break;
    default:
      break;
  }
  return TRUE;
}
