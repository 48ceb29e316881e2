/* A program built against the Windows kit: its header and an import library
 * (libvtl.dll.a with mingw-w64, vtl.lib with an MSVC-style toolchain). It
 * sends one mail to KIT_SERVER, reads the send's detail with VTLLastError
 * and calls VTLInternet with an empty target, which must give 0, so that
 * every import is used. Exits with the result of the send, 100 when
 * VTLInternet did not give 0, or 101 when the send left no detail.
 *
 * Built with KIT_NO_CRT it needs no C runtime: its entry point is start(),
 * and it ends through ExitProcess. */
#include "vtl.h"

static char detail[1025];

static int send(void) {
  int result = VTLSendMail(KIT_SERVER, "a@example.com", "Kit", "b@example.com", "B", "From C",
                           "Hello from C\r\n");
  /* The server's reply, or why the mail did not go: read before
   * VTLInternet's detail takes its place. */
  if (VTLLastError(detail, (int32_t)sizeof detail) <= 0) return 101;
  return VTLInternet(0, "") == 0 ? result : 100;
}

#ifdef KIT_NO_CRT
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);

void __stdcall start(void) {
  ExitProcess((unsigned)send());
}
#else
#include <stdio.h>

int main(void) {
  int result = send();
  printf("result %d: %s\n", result, detail);
  return result;
}
#endif
