// Character sets on Windows: the ANSI code page read with
// MultiByteToWideChar, characters put into code page 932 with
// WideCharToMultiByte. UTF-8 is read by the core, so that bad sequences are
// replaced the same way on every system; the UTF-16 of the wide entry
// points is made UTF-8 here, by the same rule.
#include <bitset>
#include <memory>
#include <string>

#include "jtext/recode.h"
#include "platform/platform.h"
#include "platform/win/winsock.h"  // windows.h, as the platform layer includes it

namespace vtl::platform {
namespace {

constexpr UINT kShiftJis = 932;

class WinCharsets final : public Charsets {
 public:
  explicit WinCharsets(UINT codePage) : codePage_(codePage) {
    for (unsigned b = 0x80; b < 256; ++b)
      lead_[b] = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(b)) != FALSE;
  }

  uint16_t Cp932Of(char32_t c) override {
    const auto wide = static_cast<WCHAR>(c);
    char out[2];
    // No best fit: it would send "e" for "é" and a backslash for the yen
    // sign. What the code page lacks is told by lpUsedDefaultChar; the
    // default character itself never goes anywhere.
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(kShiftJis, WC_NO_BEST_FIT_CHARS, &wide, 1, out, sizeof out,
                                      nullptr, &usedDefault);
    if (usedDefault || n < 1) return 0;
    const auto b = [&](int i) { return static_cast<uint8_t>(out[i]); };
    return n == 1 ? b(0) : static_cast<uint16_t>(b(0) << 8 | b(1));
  }

  size_t Decode(std::string_view text, bool, char32_t* chars, size_t capacity,
                size_t& count) override {
    count = 0;
    size_t pos = 0;
    while (pos < text.size() && count < capacity) {
      const auto b = static_cast<uint8_t>(text[pos]);
      if (b < 0x80) {  // every ANSI code page keeps ASCII as it is
        chars[count++] = b;
        ++pos;
        continue;
      }
      // A lead byte and the byte after it are one character when that byte
      // can be a trail byte (0x40 and up in every double-byte code page);
      // otherwise the lead byte is a bad sequence of its own.
      const size_t length =
          lead_[b] && pos + 1 < text.size() && static_cast<uint8_t>(text[pos + 1]) >= 0x40 ? 2 : 1;
      WCHAR wide[2];
      const int n = MultiByteToWideChar(codePage_, MB_ERR_INVALID_CHARS, text.data() + pos,
                                        static_cast<int>(length), wide, 2);
      chars[count++] = n == 1 ? wide[0] : kBadSequence;
      pos += length;
    }
    return pos;
  }

 private:
  UINT codePage_;
  std::bitset<256> lead_;
};

}  // namespace

std::string Utf8FromWide(const wchar_t* text) {
  std::string utf8;
  if (text == nullptr) return utf8;
  const auto isHigh = [](char32_t u) { return u >= 0xD800 && u < 0xDC00; };
  const auto isLow = [](char32_t u) { return u >= 0xDC00 && u < 0xE000; };
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    char32_t c = static_cast<char16_t>(*p);
    if (isHigh(c) && isLow(static_cast<char16_t>(p[1]))) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(*++p) - 0xDC00);
    } else if (isHigh(c) || isLow(c)) {
      c = 0xFFFD;  // half a pair: UTF-8 has no form for it
    }
    jtext::AppendUtf8(c, utf8);
  }
  return utf8;
}

std::unique_ptr<Charsets> OpenCharsets(const LocaleInfo& locale) {
  if (!IsValidCodePage(kShiftJis) || !IsValidCodePage(locale.codePage)) return nullptr;
  return std::make_unique<WinCharsets>(locale.codePage);
}

}  // namespace vtl::platform
