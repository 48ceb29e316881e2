// Body cutting and dot-stuffing, on any body in either mode: every wire
// line ends in CR LF and holds no other CR or LF, is at most 998 octets,
// and no line of the data section is a lone "." before the real end. And
// the UTF-8 form: the text read as UTF-8 is well formed, and its encoded
// lines are at most 76 characters and decode to the text, line by line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "mail/message.h"
#include "support/iso2022_reader.h"

namespace {

using vtl::fuzz::Check;

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

int Hex(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

void CheckUtf8Form(std::string_view body) {
  const std::string utf8 =
      vtl::jtext::ToUtf8(vtl::jtext::kUtf8CodePage, nullptr, false).Convert(body);
  for (size_t pos = 0; pos < utf8.size();) {
    const vtl::jtext::Utf8Char c = vtl::jtext::NextUtf8Char(utf8, pos);
    Check(c.code != vtl::kBadSequence, "UTF-8 out is well formed");
    pos += c.length;
  }
  std::string expected;  // every line ended by CR LF
  for (size_t pos = 0; pos < utf8.size();) {
    const size_t end = std::min(utf8.find_first_of("\r\n", pos), utf8.size());
    expected.append(utf8, pos, end - pos).append("\r\n");
    pos = end + (utf8.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  const vtl::mail::EncodedBody encoded = vtl::mail::EncodeUtf8Body(utf8);
  std::string decoded, base64;
  for (size_t pos = 0; pos < encoded.lines.size();) {
    const size_t end = encoded.lines.find("\r\n", pos);
    Check(end != std::string::npos && end - pos <= 76, "encoded lines of at most 76");
    std::string_view line(encoded.lines.data() + pos, end - pos);
    pos = end + 2;
    if (encoded.encoding == vtl::mail::TransferEncoding::Base64) {
      base64 += line;
      continue;
    }
    const bool soft = line.ends_with('=');
    if (soft) line.remove_suffix(1);
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '=') {
        decoded += line[i];
        continue;
      }
      Check(i + 2 < line.size() && Hex(line[i + 1]) >= 0 && Hex(line[i + 2]) >= 0, "=XX whole");
      decoded += static_cast<char>(Hex(line[i + 1]) * 16 + Hex(line[i + 2]));
      i += 2;
    }
    if (!soft) decoded += "\r\n";
  }
  if (encoded.encoding == vtl::mail::TransferEncoding::Base64)
    decoded = vtl::test::Base64Decode(base64).value_or("?");
  Check(decoded == expected, "the encoded body decodes to the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the mode; the rest is the body.
  const unsigned pick = data[0] % 4;
  const vtl::jtext::TextMode mode = pick == 0   ? vtl::jtext::TextMode{}
                                    : pick == 1 ? vtl::jtext::ShiftJisMode(true)
                                                : vtl::jtext::ShiftJisMode(false);
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (pick == 3) {
    CheckUtf8Form(body);
    return 0;
  }
  Checker checker;
  Check(vtl::mail::WriteBodyLines(body, mode, checker), "the walk runs to the end");
  if (!body.empty()) Check(checker.lines > 0, "a body gives lines");
  return 0;
}
