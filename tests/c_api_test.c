/* The public header compiles as C, and a C program links and calls the
 * library through it. */
#include <stdio.h>

#include "vtl.h"

static int failures = 0;
static int checks = 0;

static void Check(int condition, const char* what) {
  ++checks;
  if (!condition) {
    ++failures;
    printf("FAILED: %s\n", what);
  }
}

int main(void) {
  SendResult(VTL_CALL * send)(const char*, const char*, const char*, const char*, const char*,
                              const char*, const char*) = VTLSendMail;
  Check(VTL_SEND_OK == 0 && VTL_SEND_STARTUP_FAILED == 1 && VTL_SEND_RESOLVE_FAILED == 2 &&
            VTL_SEND_SOCKET_FAILED == 3 && VTL_SEND_CONNECT_FAILED == 4 &&
            VTL_SEND_BAD_ARGUMENT == 5 && VTL_SEND_NO_MEMORY == 6 && VTL_SEND_DIALOGUE_FAILED == 7,
        "result codes");
  Check(sizeof(SendResult) == 4, "a 32-bit result");
  Check(send(NULL, "a@example.com", "A", "b@example.com", "B", "S", "x") == VTL_SEND_BAD_ARGUMENT,
        "null server");
  Check(send("127.0.0.1", "a@example.com", "A", "b@example.com", "B", "S", "") ==
            VTL_SEND_BAD_ARGUMENT,
        "empty body");
  {
    int32_t(VTL_CALL * open)(void*, const char*) = VTLInternet;
    Check(open(NULL, NULL) == 0, "null target");
    Check(open(NULL, "") == 0, "empty target");
  }
  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
