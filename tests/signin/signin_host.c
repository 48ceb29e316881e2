/* A host program that signs in, sends and signs out through the C API, on
 * Linux and as a Windows program (run under Wine there). Each call is
 * given as a word and its arguments; several run in turn in one process:
 *
 *   vtl_signin_host sign-in PROVIDER CLIENT-ID SECRET ACCOUNT   (SECRET "-": none)
 *   vtl_signin_host send SERVER FROM TO
 *   vtl_signin_host sign-out ACCOUNT
 *
 * For each it prints "WORD result N: DETAIL", the detail as VTLLastError
 * gives it. Exits 0 when every call was made, 2 for a wrong command line. */
#include <stdio.h>
#include <string.h>

#include "vtl.h"

static void Report(const char* word, int32_t result) {
  char detail[1025];
  if (VTLLastError(detail, (int32_t)sizeof detail) < 0) detail[0] = '\0';
  printf("%s result %d: %s\n", word, (int)result, detail);
  fflush(stdout);
}

int main(int argc, char** argv) {
  int i = 1;
  while (i < argc) {
    const char* word = argv[i];
    if (strcmp(word, "sign-in") == 0 && i + 4 < argc) {
      const char* secret = strcmp(argv[i + 3], "-") == 0 ? NULL : argv[i + 3];
      Report(word, VTLSignIn(argv[i + 1], argv[i + 2], secret, argv[i + 4]));
      i += 5;
    } else if (strcmp(word, "send") == 0 && i + 3 < argc) {
      Report(word, VTLSendMail(argv[i + 1], argv[i + 2], "A", argv[i + 3], "B", "Signed in",
                               "Sent with the kept sign-in.\r\n"));
      i += 4;
    } else if (strcmp(word, "sign-out") == 0 && i + 1 < argc) {
      Report(word, VTLSignOut(argv[i + 1]));
      i += 2;
    } else {
      fprintf(stderr,
              "usage: vtl_signin_host (sign-in PROVIDER CLIENT-ID SECRET ACCOUNT | "
              "send SERVER FROM TO | sign-out ACCOUNT)...\n");
      return 2;
    }
  }
  return 0;
}
