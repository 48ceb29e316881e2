// Body cutting and dot-stuffing, on any body in either mode: every wire
// line ends in CR LF and holds no other CR or LF, is at most 998 octets,
// and no line of the data section is a lone "." before the real end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "jtext/jtext.h"
#include "mail/message.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

class Checker final : public vtl::mail::LineSink {
 public:
  bool Line(std::string_view line) override {
    Check(line.size() >= 2 && line.ends_with("\r\n"), "a line ends in CR LF");
    const std::string_view content = line.substr(0, line.size() - 2);
    Check(content.find_first_of("\r\n") == std::string_view::npos, "no CR or LF inside a line");
    Check(content.size() <= vtl::mail::kMaxLineLength, "at most 998 octets");
    Check(content != ".", "no lone dot before the end of data");
    ++lines;
    return true;
  }
  size_t lines = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the mode; the rest is the body.
  const unsigned pick = data[0] % 3;
  const vtl::jtext::TextMode mode = pick == 0   ? vtl::jtext::TextMode{}
                                    : pick == 1 ? vtl::jtext::ShiftJisMode(true)
                                                : vtl::jtext::ShiftJisMode(false);
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  Checker checker;
  Check(vtl::mail::WriteBodyLines(body, mode, checker), "the walk runs to the end");
  if (!body.empty()) Check(checker.lines > 0, "a body gives lines");
  return 0;
}
