/* A program built against the Windows kit: its header and an import library
 * (libvtl.dll.a with mingw-w64, vtl.lib with an MSVC-style toolchain). It
 * calls every function the DLL exports, so that every import is used. It
 * sends four mails to KIT_SERVER, one with each send call, reading each
 * send's detail with VTLLastError: VTLSendMail's; VTLSendMailEx's to two
 * recipients and a Bcc, with the file kit.txt of the current folder and a
 * header line; and the W forms', with Japanese names and subjects,
 * VTLSendMailExW's with a file whose name is Japanese. Then it calls
 * VTLInternet and VTLInternetW with an empty target, which must give 0,
 * and VTLSignIn and VTLSignOut with an empty account, which must give 5
 * before anything is opened or kept.
 * Exits with 0 when all went well; else with the result of the first send
 * that failed plus 20 times its place (0 to 3), 100 when VTLInternet or
 * VTLInternetW did not give 0, 101 when a send left no detail, or 104 when
 * VTLSignIn or VTLSignOut did not give 5.
 *
 * Built with KIT_NO_CRT it needs no C runtime: its entry point is start(),
 * and it ends through ExitProcess. */
#include "vtl.h"

static char detail[1025];

/* What a send comes to: 0 when it delivered and left its detail. */
static int checked(int result, int place) {
  /* The server's reply, or why the mail did not go: read before the next
   * call's detail takes its place. */
  if (VTLLastError(detail, (int32_t)sizeof detail) <= 0) return 101;
  return result == VTL_SEND_OK ? 0 : result + 20 * place;
}

static int send(void) {
  int result = checked(VTLSendMail(KIT_SERVER, "a@example.com", "Kit", "b@example.com", "B",
                                   "From C", "Hello from C\r\n"),
                       0);
  if (result == 0)
    result =
        checked(VTLSendMailEx(KIT_SERVER, "Kit <a@example.com>",
                              "b@example.com; \"Kit, Two\" <c@example.com>", 0, "d@example.com",
                              "Files from C", "Hello again from C\r\n", "kit.txt", "X-Kit: C"),
                1);
  /* Yamada, a monthly report, a report: characters code page 1252 lacks. */
  if (result == 0)
    result =
        checked(VTLSendMailW(KIT_SERVER L"", L"a@example.com", L"\u5c71\u7530", L"b@example.com",
                             L"B", L"\u6708\u5831 from C", L"Hello in UTF-16 from C\r\n"),
                2);
  if (result == 0)
    result = checked(VTLSendMailExW(KIT_SERVER L"", L"\u5c71\u7530 <a@example.com>",
                                    L"b@example.com", 0, 0, L"\u6708\u5831 with a file from C",
                                    L"Hello again in UTF-16 from C\r\n", L"\u5831\u544a.txt", 0),
                     3);
  if (VTLInternet(0, "") != 0 || VTLInternetW(0, L"") != 0) return 100;
  if (VTLSignIn("microsoft", "kit", 0, "") != VTL_SEND_BAD_ARGUMENT ||
      VTLSignOut("") != VTL_SEND_BAD_ARGUMENT)
    return 104;
  return result;
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
