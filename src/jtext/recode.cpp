#include "jtext/recode.h"

#include <cstring>

#include "jtext/jtext.h"

namespace vtl::jtext {
namespace {

// In ToShiftJis::known_: the system has not been asked yet. No code of
// code page 932 has 0xFF as its first byte.
constexpr uint16_t kNotAsked = 0xFFFF;

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
    : codePage_(codePage),
      charsets_(std::move(charsets)),
      reader_(codePage_, charsets_.get()),
      known_(0x10000, kNotAsked) {}

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
  // Runs of ASCII, the most of most texts, are copied as they are.
  reader_.Read(
      text, [&](std::string_view run) { out.append(run); },
      [&](char32_t c) {
        Put(c, out);
        return true;
      });
}

bool ToShiftJis::Loses(std::string_view text) {
  bool loses = false;
  reader_.Read(
      text, [](std::string_view) {}, [&](char32_t c) { return !(loses = !Carries(c, CodeOf(c))); });
  return loses;
}

std::string ToShiftJis::Convert(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  Append(text, out);
  return out;
}

bool Carries(char32_t c, uint16_t code932) {
  if (c == kBadSequence || IsPrivateUse(c)) return true;
  // A GETA MARK stands for what code page 932 lacks, but the GETA MARK
  // itself is JIS 0x222E like any other character.
  if (code932 == kGeta932) return c == kGetaMarkChar;
  const auto lead = static_cast<uint8_t>(code932 >> 8);
  return lead < 0xFA || lead > 0xFC;
}

namespace {

// Where the first byte of 0xFA and up is, at or after `i`; `n` if none.
// Eight bytes at a time: a byte is 0xFA or more where its high bit is set
// and its low seven bits plus 6 reach 0x80 (which carries into no other
// byte).
size_t FindFromFa(const uint8_t* s, size_t i, size_t n) {
  constexpr uint64_t kLow = 0x7F7F7F7F7F7F7F7F, kSix = 0x0606060606060606,
                     kHigh = 0x8080808080808080;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, s + i, 8);
    if ((((word & kLow) + kSix) & word & kHigh) != 0) break;
  }
  for (; i < n; ++i)
    if (s[i] >= 0xFA) return i;
  return n;
}

}  // namespace

bool HoldsIbmExtension(std::string_view sjis) {
  // Bodies of many MiB are looked through before they are sent, so only
  // the bytes an IBM extension character can start with, 0xFA to 0xFC, are
  // looked at closely, and text without any (nearly all) is passed over a
  // word at a time. Whether such a byte begins a character is read from
  // the bytes before it: a byte that cannot lead a pair always ends a
  // character, and after it the bytes that can lead pair up in turn (each
  // of them can also be a trail byte).
  const auto* s = reinterpret_cast<const uint8_t*>(sjis.data());
  const size_t n = sjis.size();
  for (size_t from = 0;;) {  // a character begins at `from`
    const size_t at = FindFromFa(s, from, n);
    if (at == n) return false;
    size_t run = at;
    while (run > from && IsLeadByte(s[run - 1])) --run;
    const bool begins = (at - run) % 2 == 0;
    if (begins && IsLeadByte(s[at]) && at + 1 < n && IsTrailByte(s[at + 1])) return true;
    // Else a byte alone, or the trail of the pair before it: a character
    // begins after it either way.
    from = at + 1;
  }
}

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

char32_t ToUtf8::Mapped(char32_t c, bool atStart) const {
  // A system decoder may give a surrogate or a value beyond Unicode for
  // what is no character; UTF-8 has no form for either.
  if (c == kBadSequence || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
    return japanese_ ? kGetaMarkChar : kReplacementChar;
  // C1 controls are no text: they are what Windows makes of bytes that are
  // no character of code pages 932 and 1252 (0x80; 0x81, 0x8D, ...), where
  // glibc sees none.
  if (c >= 0x80 && c <= 0x9F) return japanese_ ? kGetaMarkChar : kReplacementChar;
  // Code page 932's user-defined characters mean nothing on another machine.
  if (japanese_ && IsPrivateUse(c)) return kGetaMarkChar;
  // A byte-order mark marks the encoding; it is no character of the text.
  if (c == 0xFEFF && atStart) return 0;
  return c;
}

void ToUtf8::Append(std::string_view text, std::string& out) {
  if (reader_.codePage() == kUtf8CodePage) {
    // Well-formed UTF-8 is copied in runs; only what changes is taken apart.
    size_t run = 0;
    for (size_t i = 0; i < text.size();) {
      if (static_cast<uint8_t>(text[i]) < 0x80) {
        ++i;
        continue;
      }
      const Utf8Char c = NextUtf8Char(text, i);
      const char32_t mapped = Mapped(c.code, i == 0);
      if (mapped != c.code) {
        out.append(text.substr(run, i - run));
        if (mapped != 0) AppendUtf8(mapped, out);
        run = i + c.length;
      }
      i += c.length;
    }
    out.append(text.substr(run));
    return;
  }
  const size_t start = out.size();
  reader_.Read(
      text, [&](std::string_view run) { out.append(run); },
      [&](char32_t c) {
        if (const char32_t mapped = Mapped(c, out.size() == start)) AppendUtf8(mapped, out);
        return true;
      });
}

std::string ToUtf8::Convert(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  Append(text, out);
  return out;
}

}  // namespace vtl::jtext
