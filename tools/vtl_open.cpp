// vtl-open: opens a target with the desktop's default handler, as
// VTLInternet does, and says whether the desktop took it.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "shell/launcher.h"

namespace {

constexpr const char* kUsage =
    "usage: vtl-open [-v|--verbose] [--] TARGET\n"
    "Opens TARGET (a web address, a document or a program) with the desktop's\n"
    "default handler, as VTLInternet does. Says nothing when the desktop took the\n"
    "request (with -v, which handler took it); when it did not, one line on\n"
    "standard error says why. The exit status is 0 when it took it, 1 when it did\n"
    "not, and 64 for a wrong command line. Put -- before a TARGET that begins with\n"
    "'-'.\n";

// sysexits.h's EX_USAGE.
constexpr int kUsageError = 64;

int Usage(const char* message) {
  std::fprintf(stderr, "vtl-open: %s\nTry 'vtl-open --help'\n", message);
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  const char* target = nullptr;
  for (int i = 1; i < argc; ++i) {
    const bool last = i + 1 == argc;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "-v") == 0 || std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "--") == 0 && i + 2 == argc) {
      target = argv[++i];
    } else if (std::strcmp(argv[i], "--") == 0) {
      return Usage("one TARGET after --");
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr,
                   "vtl-open: unknown option %s (put -- before a TARGET that begins with '-')\nTry "
                   "'vtl-open --help'\n",
                   argv[i]);
      return kUsageError;
    } else if (last && target == nullptr) {
      target = argv[i];
    } else {
      return Usage("one TARGET, please");
    }
  }
  if (target == nullptr) return Usage("a TARGET is required");
  std::string detail;
  const int result =
      vtl::shell::Internet(nullptr, target, vtl::platform::OpenWithDefaultHandler, detail);
  if (result != 1)
    std::fprintf(
        stderr, "vtl-open: %s\n",
        detail.empty() ? "the desktop refused it or has no handler for it" : detail.c_str());
  else if (verbose && !detail.empty())
    std::fprintf(stderr, "vtl-open: %s\n", detail.c_str());
  return result == 1 ? 0 : 1;
}
