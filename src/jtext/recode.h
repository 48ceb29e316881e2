// Text of the user's code page to code page 932 (Shift_JIS), for Japanese
// mode on a system whose code page is something else: UTF-8, or another
// double-byte or single-byte code page. What comes out goes through the
// Shift_JIS conversions exactly as a code page 932 system's text does.
// And text of any code page to UTF-8, for mail that ISO-2022-JP cannot
// carry or that comes from a system that is not Japanese.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vtl::jtext {

inline constexpr unsigned kUtf8CodePage = 65001;
// GETA MARK in code page 932 (JIS 0x222E): what stands for a character
// code page 932 cannot hold, and for each sequence of bytes that is no
// character at all.
inline constexpr uint16_t kGeta932 = 0x81AC;

// One character of UTF-8 text: its code point and length, or for an
// ill-formed sequence kBadSequence and the length of its maximal subpart
// (Unicode 3.9): the longest start of a well-formed sequence found there,
// at least one byte. So every bad sequence is replaced once, and a byte
// that could begin a character is never swallowed by the bad one before it.
struct Utf8Char {
  char32_t code;
  size_t length;
};
Utf8Char NextUtf8Char(std::string_view text, size_t pos);

// Code page 932 for a character that JIS-based converters (EUC-JP,
// Shift_JIS by the JIS tables, most UTF-8 systems' input methods) give a
// code point other than code page 932's for the same JIS character: the
// yen sign and overline of JIS X 0201, and the wave dash, double vertical
// line, minus sign, em dash, cent, pound and not signs of JIS X 0208.
// 0 for every other character.
uint16_t JisVariantCode(char32_t c);

// The characters of a text in the user's code page: UTF-8 is read here,
// any other code page by `charsets` (with none, each byte from 0x80 up is
// a bad sequence). Calls ascii(run) for each run of ASCII bytes and
// put(c) for every other character, kBadSequence included, until put
// returns false.
class TextReader {
 public:
  TextReader(unsigned codePage, Charsets* charsets) : codePage_(codePage), charsets_(charsets) {}
  unsigned codePage() const { return codePage_; }

  template <class Ascii, class Put>
  void Read(std::string_view text, Ascii&& ascii, Put&& put) {
    if (codePage_ == kUtf8CodePage) {
      for (size_t i = 0; i < text.size();) {
        size_t end = i;
        while (end < text.size() && static_cast<uint8_t>(text[end]) < 0x80) ++end;
        if (end > i) {
          ascii(text.substr(i, end - i));
          i = end;
          continue;
        }
        const Utf8Char c = NextUtf8Char(text, i);
        if (!put(c.code)) return;
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
        if (!put(kBadSequence)) return;
        ++pos;
        continue;
      }
      for (size_t k = 0; k < count; ++k)
        if (!put(chars[k])) return;
      pos += read;
    }
  }

 private:
  static constexpr size_t kDecodeBatch = 1024;
  unsigned codePage_;
  Charsets* charsets_;
};

class ToShiftJis {
 public:
  // `codePage` is the user's: 65001 is UTF-8, read here; any other is read
  // by `charsets`, which also gives code page 932 for every character.
  ToShiftJis(unsigned codePage, std::unique_ptr<Charsets> charsets);

  // Appends `text` in code page 932 to `out`: in time linear in the text,
  // and nothing beyond what is appended.
  void Append(std::string_view text, std::string& out);
  std::string Convert(std::string_view text);
  // Whether `text` holds a character that ISO-2022-JP would not carry
  // (see Carries), without converting it.
  bool Loses(std::string_view text);
  Charsets* charsets() const { return charsets_.get(); }

  // Code page 932 for one character (one byte as 0x00XX): the ASCII
  // characters as they are, JisVariantCode where it has one, else the
  // system's code for a character of code page 932; kGeta932 for anything
  // else, a best-fit substitute included.
  uint16_t CodeOf(char32_t c);

 private:
  void Put(char32_t c, std::string& out);

  unsigned codePage_;
  std::unique_ptr<Charsets> charsets_;
  TextReader reader_;
  std::vector<uint16_t> known_;  // the code of each character of the BMP once it was asked for
};

// Whether a character of the host's text reaches an ISO-2022-JP reader as
// itself, given the code page 932 code CodeOf gave it: it does unless it
// became a GETA MARK (other than U+3013, the GETA MARK itself) or an IBM
// extension character (lead bytes 0xFA-0xFC,
// which JIS lacks). Bad sequences and the private use area (code page
// 932's user-defined characters, which mean nothing on another machine)
// count as carried: they are a GETA MARK in every form of the mail.
bool Carries(char32_t c, uint16_t code932);
constexpr bool IsPrivateUse(char32_t c) {
  return c >= 0xE000 && c <= 0xF8FF;
}
// Whether Shift_JIS text holds an IBM extension character.
bool HoldsIbmExtension(std::string_view sjis);

inline constexpr char32_t kGetaMarkChar = 0x3013;
inline constexpr char32_t kReplacementChar = 0xFFFD;
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Appends the UTF-8 form of a Unicode scalar value.
void AppendUtf8(char32_t c, std::string& out);

// The host's text in UTF-8: every character as it is, a byte-order mark
// that starts the text left out, and U+FFFD for each bad sequence and C1
// control. In Japanese mode the replacement is the GETA MARK, and private
// use characters become one too, as they would in ISO-2022-JP.
class ToUtf8 {
 public:
  ToUtf8(unsigned codePage, Charsets* charsets, bool japanese)
      : reader_(codePage, charsets), japanese_(japanese) {}

  void Append(std::string_view text, std::string& out);
  std::string Convert(std::string_view text);

 private:
  // What goes out for one character of the host's text; 0 for nothing.
  char32_t Mapped(char32_t c, bool atStart) const;

  TextReader reader_;
  bool japanese_;
};

}  // namespace vtl::jtext
