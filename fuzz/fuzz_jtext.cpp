// The Japanese conversions and the encoded-word builder, on any bytes taken
// as Shift_JIS text in Japanese mode:
// - the output is 7-bit and ends in ASCII;
// - where the input is Shift_JIS that glibc's iconv can read, the output
//   says the same as iconv does (differential);
// - split into encoded-words, no word exceeds 75 characters, each is a
//   whole ISO-2022-JP text, and together they hold exactly the characters
//   of the one-piece conversion: none was split.
#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "jtext/jtext.h"
#include "support/iso2022_reader.h"

namespace {

using vtl::fuzz::Check;

// `from` to `to` with iconv; false when iconv cannot read all of it.
bool Convert(const char* to, const char* from, std::string_view in, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(in.size() * 4 + 16, '\0');
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  const bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
                  iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return ok && inLeft == 0;
}

bool IsPlainText(std::string_view s) {
  // Bytes the converter replaces on purpose ('?' for ESC, 0x80, 0xA0,
  // 0xFD-0xFF) and control bytes make no fair comparison.
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F || c == 0x80 || c == 0xA0 || c >= 0xFD) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vtl;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const jtext::TextMode mode = jtext::ShiftJisMode(true);
  const jtext::Iso2022Text out = jtext::ToIso2022Jp(text, mode);
  for (unsigned char c : out.bytes) Check(c < 0x80, "the output is 7-bit");
  const test::Iso2022Reading reading = test::ReadIso2022Jp(out.bytes);
  Check(reading.error.empty(), "the output is well-formed and ends in ASCII");

  std::string viaIconv;
  std::string ours;
  if (IsPlainText(text) &&
      Convert("EUC-JP", "SHIFT_JIS", jtext::WidenHalfwidthKana(text, mode), viaIconv)) {
    Check(Convert("EUC-JP", "ISO-2022-JP", out.bytes, ours), "iconv reads our ISO-2022-JP");
    Check(ours == viaIconv, "the same text as iconv gives");
  }

  const std::vector<std::string> words = jtext::EncodeHeaderWords(text, 75);
  std::vector<uint32_t> joined;
  for (const std::string& word : words) {
    Check(word.size() <= 75, "an encoded-word of at most 75 characters");
    Check(word.starts_with(jtext::kEncodedWordPrefix) && word.ends_with(jtext::kEncodedWordSuffix),
          "the encoded-word frame");
    const std::string_view b64 = std::string_view(word).substr(
        jtext::kEncodedWordPrefix.size(),
        word.size() - jtext::kEncodedWordPrefix.size() - jtext::kEncodedWordSuffix.size());
    const std::optional<std::string> decoded = test::Base64Decode(b64);
    Check(decoded.has_value(), "valid Base64");
    const test::Iso2022Reading piece = test::ReadIso2022Jp(*decoded);
    Check(piece.error.empty(), "every encoded-word is a whole ISO-2022-JP text");
    joined.insert(joined.end(), piece.chars.begin(), piece.chars.end());
  }
  if (out.hadDoubleByte) Check(joined == reading.chars, "the words hold the text, none split");
  return 0;
}
