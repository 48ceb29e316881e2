#include "jtext/recode.h"

#include "jtext/jtext.h"

namespace vtl::jtext {
namespace {

// In ToShiftJis::known_: the system has not been asked yet. No code of
// code page 932 has 0xFF as its first byte.
constexpr uint16_t kNotAsked = 0xFFFF;
constexpr size_t kDecodeBatch = 1024;

bool InRange(uint8_t b, uint8_t lo, uint8_t hi) {
  return b >= lo && b <= hi;
}

// What the system gave, if it is a character of code page 932: a pair of a
// lead and a trail byte, or one half-width katakana. Anything else (a byte
// without a character, or an ASCII byte for a character that is not ASCII:
// a best fit) is no code for the character.
uint16_t Checked(uint16_t code) {
  if (code > 0xFF)
    return IsLeadByte(static_cast<uint8_t>(code >> 8)) &&
                   IsTrailByte(static_cast<uint8_t>(code & 0xFF))
               ? code
               : kGeta932;
  return IsHalfwidthKana(static_cast<uint8_t>(code)) ? code : kGeta932;
}

}  // namespace

Utf8Char NextUtf8Char(std::string_view text, size_t pos) {
  const auto at = [&](size_t i) { return static_cast<uint8_t>(text[pos + i]); };
  const uint8_t b0 = at(0);
  if (b0 < 0x80) return {b0, 1};
  // Unicode 3.9, table 3-7: the lead byte fixes the length and the range of
  // the second byte; every further byte is 0x80-0xBF.
  size_t length;
  uint8_t lo = 0x80, hi = 0xBF;
  char32_t code;
  if (InRange(b0, 0xC2, 0xDF)) {
    length = 2;
    code = b0 & 0x1F;
  } else if (InRange(b0, 0xE0, 0xEF)) {
    length = 3;
    code = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // below: an overlong form
    if (b0 == 0xED) hi = 0x9F;  // above: a surrogate
  } else if (InRange(b0, 0xF0, 0xF4)) {
    length = 4;
    code = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // below: an overlong form
    if (b0 == 0xF4) hi = 0x8F;  // above: beyond U+10FFFF
  } else {
    return {kBadSequence, 1};  // a continuation byte, C0, C1 or F5-FF
  }
  for (size_t i = 1; i < length; ++i) {
    if (pos + i >= text.size() || !InRange(at(i), i == 1 ? lo : 0x80, i == 1 ? hi : 0xBF))
      return {kBadSequence, i};
    code = code << 6 | (at(i) & 0x3F);
  }
  return {code, length};
}

uint16_t JisVariantCode(char32_t c) {
  switch (c) {
    case 0x00A5:  // YEN SIGN: JIS X 0201 0x5C
      return 0x5C;
    case 0x203E:  // OVERLINE: JIS X 0201 0x7E
      return 0x7E;
    case 0x2014:  // EM DASH, JIS 0x213D; code page 932 has U+2015
      return 0x815C;
    case 0x301C:  // WAVE DASH, JIS 0x2141; code page 932 has U+FF5E
      return 0x8160;
    case 0x2016:  // DOUBLE VERTICAL LINE, JIS 0x2142; code page 932 has U+2225
      return 0x8161;
    case 0x2212:  // MINUS SIGN, JIS 0x215D; code page 932 has U+FF0D
      return 0x817C;
    case 0x00A2:  // CENT SIGN, JIS 0x2171; code page 932 has U+FFE0
      return 0x8191;
    case 0x00A3:  // POUND SIGN, JIS 0x2172; code page 932 has U+FFE1
      return 0x8192;
    case 0x00AC:  // NOT SIGN, JIS 0x224C; code page 932 has U+FFE2
      return 0x81CA;
    default:
      return 0;
  }
}

ToShiftJis::ToShiftJis(unsigned codePage, std::unique_ptr<Charsets> charsets)
    : codePage_(codePage), charsets_(std::move(charsets)), known_(0x10000, kNotAsked) {}

uint16_t ToShiftJis::CodeOf(char32_t c) {
  if (c < 0x80) return static_cast<uint16_t>(c);
  // Code page 932 has nothing beyond the BMP, and a surrogate is no character.
  if (c > 0xFFFF || (c >= 0xD800 && c <= 0xDFFF)) return kGeta932;
  if (const uint16_t variant = JisVariantCode(c)) return variant;
  uint16_t& code = known_[c];
  if (code == kNotAsked) code = charsets_ ? Checked(charsets_->Cp932Of(c)) : kGeta932;
  return code;
}

void ToShiftJis::Put(char32_t c, std::string& out) {
  const uint16_t code = CodeOf(c);
  if (code > 0xFF) out.push_back(static_cast<char>(code >> 8));
  out.push_back(static_cast<char>(code & 0xFF));
}

void ToShiftJis::Append(std::string_view text, std::string& out) {
  if (codePage_ == kUtf8CodePage) {
    for (size_t i = 0; i < text.size();) {
      // Runs of ASCII, the most of most texts, are copied as they are.
      size_t end = i;
      while (end < text.size() && static_cast<uint8_t>(text[end]) < 0x80) ++end;
      if (end > i) {
        out.append(text.substr(i, end - i));
        i = end;
        continue;
      }
      const Utf8Char c = NextUtf8Char(text, i);
      Put(c.code, out);
      i += c.length;
    }
    return;
  }
  char32_t chars[kDecodeBatch];
  for (size_t pos = 0; pos < text.size();) {
    size_t count = 0;
    const size_t read =
        charsets_ ? charsets_->Decode(text.substr(pos), pos == 0, chars, kDecodeBatch, count) : 0;
    if (read == 0 || read > text.size() - pos || count > kDecodeBatch) {
      // A decoder that makes no progress: the byte it is stuck on is no character.
      Put(kBadSequence, out);
      ++pos;
      continue;
    }
    for (size_t k = 0; k < count; ++k) Put(chars[k], out);
    pos += read;
  }
}

std::string ToShiftJis::Convert(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  Append(text, out);
  return out;
}

}  // namespace vtl::jtext
