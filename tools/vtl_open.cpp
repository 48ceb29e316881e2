// vtl-open: opens a target with the desktop's default handler, as
// VTLInternet does, and says whether the desktop took it.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "shell/launcher.h"

namespace {

constexpr const char* kUsage =
    "usage: vtl-open [--] TARGET\n"
    "Opens TARGET (a web address, a document or a program) with the desktop's\n"
    "default handler, as VTLInternet does. Prints whether the desktop took\n"
    "the request; the exit status is 0 when it did, 1 when it did not, and\n"
    "2 for a wrong command line. Put -- before a TARGET that begins with '-'.\n";

}  // namespace

int main(int argc, char** argv) {
  const bool dashes = argc == 3 && std::strcmp(argv[1], "--") == 0;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 2 && !dashes) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const char* target = argv[dashes ? 2 : 1];
  std::string detail;
  const int result =
      vtl::shell::Internet(nullptr, target, vtl::platform::OpenWithDefaultHandler, detail);
  std::printf("%s\n", result == 1 ? "opened"
                                  : "not opened: the desktop refused it or has no handler for it");
  if (result != 1 && !detail.empty()) std::fprintf(stderr, "vtl-open: %s\n", detail.c_str());
  return result == 1 ? 0 : 1;
}
