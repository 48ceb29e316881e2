// UTF-8 to code page 932, on any bytes, as a Japanese UTF-8 system's texts
// are read: the output is well-formed Shift_JIS (ASCII, half-width katakana,
// or a lead byte with its trail byte), holds exactly one character for each
// character or bad sequence of the input, and keeps each ASCII character of
// the input as it is, in its place.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "platform/platform.h"

namespace {

using vtl::fuzz::Check;

vtl::jtext::ToShiftJis& Converter() {
  static vtl::jtext::ToShiftJis converter = [] {
    vtl::LocaleInfo utf8;
    utf8.abbrevLangName = "JPN";
    utf8.codePage = vtl::jtext::kUtf8CodePage;
    utf8.codeset = "UTF-8";
    std::unique_ptr<vtl::Charsets> charsets = vtl::platform::OpenCharsets(utf8);
    Check(charsets != nullptr, "the system converts to code page 932");
    return vtl::jtext::ToShiftJis(vtl::jtext::kUtf8CodePage, std::move(charsets));
  }();
  return converter;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<char32_t> input;
  for (size_t pos = 0; pos < text.size();) {
    const vtl::jtext::Utf8Char c = vtl::jtext::NextUtf8Char(text, pos);
    Check(c.length > 0 && pos + c.length <= text.size(), "each step reads within the text");
    input.push_back(c.code);
    pos += c.length;
  }
  const std::string out = Converter().Convert(text);
  size_t count = 0;
  for (size_t i = 0; i < out.size(); ++count) {
    const auto b = static_cast<uint8_t>(out[i]);
    if (vtl::jtext::IsLeadByte(b)) {
      Check(i + 1 < out.size() && vtl::jtext::IsTrailByte(static_cast<uint8_t>(out[i + 1])),
            "a lead byte has its trail byte");
      Check(count >= input.size() || input[count] >= 0x80, "ASCII stays one byte");
      i += 2;
    } else {
      Check(b < 0x80 || vtl::jtext::IsHalfwidthKana(b), "a single byte is a character");
      if (count < input.size() && input[count] < 0x80)
        Check(b == input[count], "ASCII is kept as it is");
      i += 1;
    }
  }
  Check(count == input.size(), "one character out for each one in");
  return 0;
}
