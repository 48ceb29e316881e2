/* A host application as Windows programs are written: it loads vtl.dll at
 * run time, finds the function by its plain name and calls it through a
 * pointer declared with the standard calling convention (WINAPI), as
 * Visual Basic, VBA and Delphi hosts declare it. It does not include vtl.h.
 *
 *   vtl_host DLL TEXTS-FILE           VTLSendMail
 *   vtl_host DLL --open TARGET-FILE   VTLInternet, with no window
 *
 * TEXTS-FILE holds the seven arguments of VTLSendMail, each ending in a zero
 * byte; TARGET-FILE holds the target's bytes. Prints "result N" and exits
 * with N; 100 and above mean the host itself failed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef LONG(WINAPI* SendMailProc)(LPCSTR server, LPCSTR fromAddress, LPCSTR fromName,
                                   LPCSTR toAddress, LPCSTR toName, LPCSTR subject, LPCSTR body);
typedef LONG(WINAPI* InternetProc)(HWND window, LPCSTR target);

enum { kArguments = 7 };

int main(int argc, char** argv) {
  static char texts[1 << 20];
  const char* args[kArguments];
  size_t size;
  size_t at = 0;
  int n;
  FILE* f;
  HMODULE library;
  SendMailProc send;
  InternetProc open;
  LONG result;
  const int opening = argc == 4 && strcmp(argv[2], "--open") == 0;

  if (argc != 3 && !opening) {
    fprintf(stderr, "usage: vtl_host DLL TEXTS-FILE | vtl_host DLL --open TARGET-FILE\n");
    return 100;
  }
  f = fopen(argv[opening ? 3 : 2], "rb");
  if (f == NULL) return 101;
  size = fread(texts, 1, sizeof texts - 1, f);
  fclose(f);
  texts[size] = '\0';

  library = LoadLibraryA(argv[1]);
  if (library == NULL) return 103;
  if (opening) {
    open = (InternetProc)(void (*)(void))GetProcAddress(library, "VTLInternet");
    if (open == NULL) return 104;
    result = open(NULL, texts);
    FreeLibrary(library);
    printf("result %ld\n", (long)result);
    return (int)result;
  }
  for (n = 0; n < kArguments; ++n) {
    if (at >= size) return 102;
    args[n] = texts + at;
    while (at < size && texts[at] != '\0') ++at;
    ++at;
  }

  send = (SendMailProc)(void (*)(void))GetProcAddress(library, "VTLSendMail");
  if (send == NULL) return 104;
  result = send(args[0], args[1], args[2], args[3], args[4], args[5], args[6]);
  FreeLibrary(library);
  printf("result %ld\n", (long)result);
  return (int)result;
}
