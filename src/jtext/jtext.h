// Japanese text for the wire: Shift_JIS (code page 932) in, 7-bit
// ISO-2022-JP (RFC 1468) and MIME encoded-words (RFC 2047) out.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vtl::jtext {

// The bytes that begin a double-byte character in some code page.
using LeadBytes = std::bitset<256>;

// The per-send decision. `japanese` adds the MIME labels; the texts are
// converted when the ANSI code page is also Shift_JIS. A Japanese locale on
// any other code page has its texts put into code page 932 first
// (recode.h) and is then sent in ShiftJisMode(true), or, where the system
// cannot convert them, as a locale that is not Japanese. `leadBytes` are
// the ANSI code page's, so that text which is not converted is still never
// cut inside a character; none for a single-byte code page.
struct TextMode {
  bool japanese = false;
  bool shiftJis = false;
  LeadBytes leadBytes;
  bool Converts() const { return japanese && shiftJis; }
};

inline constexpr unsigned kShiftJisCodePage = 932;
inline constexpr uint16_t kGetaMark = 0x222E;  // JIS X 0208 GETA MARK, for characters JIS lacks

bool IsJapaneseLocale(std::string_view abbrevLangName);
TextMode DecideTextMode(std::string_view abbrevLangName, unsigned codePage,
                        const LeadBytes& leadBytes);

// Whether every byte of `text` is below 0x80.
// Bodies of many MiB pass through here: the bytes are taken in blocks of
// 64, eight words OR-ed together with no branch inside (about 40
// instructions a block, where a loop that stops at the first byte of 0x80
// or more takes 5 a byte).
inline bool IsAscii(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080;
  const char* p = text.data();
  size_t left = text.size();
  for (; left >= 64; p += 64, left -= 64) {
    uint64_t any = 0;
    for (size_t i = 0; i < 64; i += 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      any |= word;
    }
    if ((any & kHighBits) != 0) return false;
  }
  for (; left > 0; ++p, --left)
    if (static_cast<uint8_t>(*p) >= 0x80) return false;
  return true;
}

// Shift_JIS byte classes.
constexpr bool IsLeadByte(uint8_t b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
LeadBytes ShiftJisLeadBytes();
// The mode of a Shift_JIS system, Japanese or not.
TextMode ShiftJisMode(bool japanese);
constexpr bool IsTrailByte(uint8_t b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}
constexpr bool IsHalfwidthKana(uint8_t b) {
  return b >= 0xA1 && b <= 0xDF;
}

// The arithmetic Shift_JIS to JIS X 0208 mapping; 0 when the pair has no result.
uint16_t ShiftJisToJis(uint8_t s1, uint8_t s2);

// The full-width Shift_JIS code of a half-width katakana byte (0xA1-0xDF).
uint16_t WideKana(uint8_t halfwidth);

// One character of a Shift_JIS text as it goes to the wire: either one ASCII
// byte or one JIS X 0208 code.
struct WireChar {
  size_t length;  // source bytes it takes
  bool jis;       // true: `code` is JIS X 0208; false: `code` is one ASCII byte
  uint16_t code;
};
WireChar NextWireChar(std::string_view text, size_t pos);

// Appends wire characters to `out` as ISO-2022-JP, with an escape wherever
// the character set changes. Close() returns to ASCII, as every text and
// every piece of one must end.
class Iso2022Writer {
 public:
  static constexpr std::string_view kToJis = "\x1b$B";
  static constexpr std::string_view kToAscii = "\x1b(B";

  explicit Iso2022Writer(std::string& out) : out_(out) {}

  // The bytes Put(c) would add, with the escape that would then close the text.
  size_t Cost(const WireChar& c) const {
    if (c.jis) return (inJis_ ? 0 : kToJis.size()) + 2 + kToAscii.size();
    return (inJis_ ? kToAscii.size() : 0) + 1;
  }

  void Put(const WireChar& c) {
    if (c.jis != inJis_) out_.append(c.jis ? kToJis : kToAscii);
    inJis_ = c.jis;
    hadDoubleByte_ = hadDoubleByte_ || c.jis;
    if (c.jis) out_.push_back(static_cast<char>(c.code >> 8));
    out_.push_back(static_cast<char>(c.code & 0xFF));
  }

  void Close() {
    if (inJis_) out_.append(kToAscii);
    inJis_ = false;
  }

  bool hadDoubleByte() const { return hadDoubleByte_; }

 private:
  std::string& out_;
  bool inJis_ = false;
  bool hadDoubleByte_ = false;
};

std::string WidenHalfwidthKana(std::string_view text, TextMode mode);

struct Iso2022Text {
  std::string bytes;
  bool hadDoubleByte = false;
};
Iso2022Text ToIso2022Jp(std::string_view text, TextMode mode);
// One character takes at most this many bytes of ISO-2022-JP per source
// byte: an escape and a JIS code, from one byte.
inline constexpr size_t kIso2022MostPerByte = 5;
// The same conversion written to `out`, which has room for
// kIso2022MostPerByte bytes per byte of `text` and 3 more; returns the
// bytes written.
size_t WriteIso2022Jp(std::string_view text, char* out);

// Base64 (RFC 4648) of `bytes`, each character given to put(char).
template <class Put>
void Base64(std::string_view bytes, Put&& put) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto at = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])); };
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    const uint32_t v = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    put('=');
  }
}
std::string Base64Encode(std::string_view bytes);

// The value of one digit of base64 (RFC 4648 4), or of base64url (RFC 4648
// 5) when `url`; -1 for any other character.
inline int Base64Digit(char c, bool url) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == (url ? '-' : '+')) return 62;
  if (c == (url ? '_' : '/')) return 63;
  return -1;
}

// Base64 (or base64url when `url`) decoded from the start of `text` to its
// end or its first '=', each byte given to put(char); false at a character
// outside the alphabet. `count` gets the number of digits after the last
// group of four (2 and 3 give one and two bytes; 1 gives none, a length no
// encoder makes), and `spare` the bits of theirs left over, which are 0 in
// a canonical text (RFC 4648 3.5).
template <class Put>
bool Base64Decode(std::string_view text, bool url, Put&& put, int& count, uint32_t& spare) {
  uint32_t bits = 0;
  count = 0;
  for (const char c : text) {
    if (c == '=') break;
    const int v = Base64Digit(c, url);
    if (v < 0) return false;
    bits = bits << 6 | static_cast<uint32_t>(v);
    if (++count == 4) {
      put(static_cast<char>(bits >> 16));
      put(static_cast<char>(bits >> 8 & 0xFF));
      put(static_cast<char>(bits & 0xFF));
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    put(static_cast<char>(bits >> 10));
    put(static_cast<char>(bits >> 2 & 0xFF));
    spare = bits & 0x3;
  } else if (count == 2) {
    put(static_cast<char>(bits >> 4));
    spare = bits & 0xF;
  } else {
    spare = bits;
  }
  return true;
}

inline constexpr std::string_view kEncodedWordPrefix = "=?ISO-2022-JP?B?";
inline constexpr std::string_view kEncodedWordSuffix = "?=";

// "=?ISO-2022-JP?B?" + Base64 of the ISO-2022-JP bytes + "?=".
std::string EncodedWord(std::string_view iso2022Bytes);

// A header text in one piece: as it is when it holds no double-byte
// character, else one encoded-word. FormatHeaderLine applies the same rule
// and spreads a long text over several words; only the tests use this
// one-word form, as the reference for a short text.
std::string EncodeHeaderText(std::string_view text, TextMode mode);

// The same text as several encoded-words, each a complete ISO-2022-JP text
// (ending in ASCII) of at most `maxWordLength` characters, frame included.
// Used where one encoded-word would make the header line too long.
std::vector<std::string> EncodeHeaderWords(std::string_view text, size_t maxWordLength);

inline constexpr std::string_view kUtf8WordPrefix = "=?UTF-8?B?";

// UTF-8 text (well formed) as "=?UTF-8?B?...?=" encoded-words of at most
// `maxWordLength` characters each, split only between characters.
std::vector<std::string> EncodeUtf8Words(std::string_view utf8, size_t maxWordLength);

}  // namespace vtl::jtext
