// Text of the user's code page to code page 932 (Shift_JIS), for Japanese
// mode on a system whose code page is something else: UTF-8, or another
// double-byte or single-byte code page. What comes out goes through the
// Shift_JIS conversions exactly as a code page 932 system's text does.
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

class ToShiftJis {
 public:
  // `codePage` is the user's: 65001 is UTF-8, read here; any other is read
  // by `charsets`, which also gives code page 932 for every character.
  ToShiftJis(unsigned codePage, std::unique_ptr<Charsets> charsets);

  // Appends `text` in code page 932 to `out`: in time linear in the text,
  // and nothing beyond what is appended.
  void Append(std::string_view text, std::string& out);
  std::string Convert(std::string_view text);

  // Code page 932 for one character (one byte as 0x00XX): the ASCII
  // characters as they are, JisVariantCode where it has one, else the
  // system's code for a character of code page 932; kGeta932 for anything
  // else, a best-fit substitute included.
  uint16_t CodeOf(char32_t c);

 private:
  void Put(char32_t c, std::string& out);

  unsigned codePage_;
  std::unique_ptr<Charsets> charsets_;
  std::vector<uint16_t> known_;  // the code of each character of the BMP once it was asked for
};

}  // namespace vtl::jtext
