/* A program of someone else's that uses an installed vtl: sends one mail
 * to the server given, and exits with the result code. */
#include <stdio.h>
#include <vtl.h>

int main(int argc, char** argv) {
  SendResult result;
  if (argc != 2) {
    fprintf(stderr, "usage: consumer SERVER\n");
    return 100;
  }
  result = VTLSendMail(argv[1], "a@example.com", "Installed", "b@example.com", "User",
                       "From an installed vtl", "Hello from a consumer\r\n");
  printf("%d\n", (int)result);
  return (int)result;
}
