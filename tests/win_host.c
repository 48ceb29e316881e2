/* A host application as Windows programs are written: it loads vtl.dll at
 * run time, finds the function by its plain name and calls it through a
 * pointer declared with the standard calling convention (WINAPI), as
 * Visual Basic, VBA and Delphi hosts declare it. It does not include vtl.h.
 *
 *   vtl_host DLL TEXTS-FILE
 *
 * TEXTS-FILE holds the seven arguments of VTLSendMail, each ending in a zero
 * byte. Prints "result N" and exits with N; 100 and above mean the host
 * itself failed. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

typedef LONG(WINAPI* SendMailProc)(LPCSTR server, LPCSTR fromAddress, LPCSTR fromName,
                                   LPCSTR toAddress, LPCSTR toName, LPCSTR subject, LPCSTR body);

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
  LONG result;

  if (argc != 3) {
    fprintf(stderr, "usage: vtl_host DLL TEXTS-FILE\n");
    return 100;
  }
  f = fopen(argv[2], "rb");
  if (f == NULL) return 101;
  size = fread(texts, 1, sizeof texts - 1, f);
  fclose(f);
  for (n = 0; n < kArguments; ++n) {
    if (at >= size) return 102;
    args[n] = texts + at;
    while (at < size && texts[at] != '\0') ++at;
    ++at;
  }

  library = LoadLibraryA(argv[1]);
  if (library == NULL) return 103;
  send = (SendMailProc)(void (*)(void))GetProcAddress(library, "VTLSendMail");
  if (send == NULL) return 104;
  result = send(args[0], args[1], args[2], args[3], args[4], args[5], args[6]);
  FreeLibrary(library);
  printf("result %ld\n", (long)result);
  return (int)result;
}
