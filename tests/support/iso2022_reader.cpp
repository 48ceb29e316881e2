#include "support/iso2022_reader.h"

namespace vtl::test {
namespace {

constexpr std::string_view kToJis = "\x1b$B";
constexpr std::string_view kToAscii = "\x1b(B";

}  // namespace

std::optional<std::string> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const size_t pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const int d = k >= 4 - pad ? 0 : value(text[i + k]);
      if (d < 0) return std::nullopt;
      v = v << 6 | static_cast<uint32_t>(d);
    }
    out.push_back(static_cast<char>(v >> 16));
    if (pad < 2) out.push_back(static_cast<char>(v >> 8 & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(v & 0xFF));
  }
  return out;
}

Iso2022Reading ReadIso2022Jp(std::string_view s) {
  Iso2022Reading r;
  auto fail = [&](const char* what, size_t at) {
    r.error = std::string(what) + " at offset " + std::to_string(at);
    return r;
  };
  bool jis = false;
  size_t run = 0;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<uint8_t>(s[i]);
    if (b >= 0x80) return fail("8-bit byte", i);
    if (b == 0x1B) {
      const std::string_view esc = s.substr(i, 3);
      if (esc == kToJis) {
        if (jis) return fail("ESC $ B while already in JIS X 0208", i);
        jis = true;
        run = 0;
      } else if (esc == kToAscii) {
        if (!jis) return fail("ESC ( B while already in ASCII", i);
        if (run == 0) return fail("JIS X 0208 run without characters", i);
        jis = false;
      } else {
        return fail("unknown escape sequence", i);
      }
      i += 3;
      continue;
    }
    if (jis) {
      if (i + 1 >= s.size()) return fail("half a JIS X 0208 character", i);
      const auto b2 = static_cast<uint8_t>(s[i + 1]);
      if (b < 0x21 || b > 0x7E || b2 < 0x21 || b2 > 0x7E)
        return fail("byte outside 0x21-0x7E in JIS X 0208", i);
      r.chars.push_back(kJisFlag | static_cast<uint32_t>(b) << 8 | b2);
      ++run;
      i += 2;
    } else {
      r.chars.push_back(b);
      ++i;
    }
  }
  if (jis) return fail("text ends in JIS X 0208", s.size());
  return r;
}

}  // namespace vtl::test
