// What the fuzz targets assert. A failed check names itself on standard
// error and aborts, which libFuzzer and the replay driver both report.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vtl::fuzz {

inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// Printable ASCII, as every why and detail is.
inline bool IsPrintable(std::string_view s) {
  for (const char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

}  // namespace vtl::fuzz
