// Texts of a Japanese locale whose code page is not 932, on their way to
// code page 932: the core's own reading of UTF-8, its rules for what the
// system answers, and the system's conversions (iconv on Linux,
// MultiByteToWideChar and WideCharToMultiByte on Windows) through it. The
// expectations are the same on every system.
#include "jtext/recode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "jtext/jtext.h"
#include "support/hex.h"

#ifndef _WIN32
#include <iconv.h>
#endif

namespace vtl::jtext {
namespace {

std::string Sjis(std::initializer_list<uint16_t> codes) {
  std::string out;
  for (uint16_t code : codes) {
    if (code > 0xFF) out.push_back(static_cast<char>(code >> 8));
    out.push_back(static_cast<char>(code & 0xFF));
  }
  return out;
}

const std::string kGeta = Sjis({kGeta932});

std::vector<Utf8Char> Utf8Chars(std::string_view text) {
  std::vector<Utf8Char> chars;
  for (size_t pos = 0; pos < text.size();) {
    chars.push_back(NextUtf8Char(text, pos));
    pos += chars.back().length;
  }
  return chars;
}

std::string Describe(const std::vector<Utf8Char>& chars) {
  std::string out;
  char item[32];
  for (const Utf8Char& c : chars) {
    if (c.code == kBadSequence) {
      std::snprintf(item, sizeof item, "bad/%zu ", c.length);
    } else {
      std::snprintf(item, sizeof item, "U+%04X/%zu ", static_cast<unsigned>(c.code), c.length);
    }
    out += item;
  }
  return out;
}

TEST(NextUtf8CharTest, WellFormedSequencesOfEveryLengthUpToTheirLimits) {
  const struct {
    std::string_view bytes;
    char32_t code;
  } kCases[] = {
      {"A", 0x41},
      {"\xC2\x80", 0x80},
      {"\xDF\xBF", 0x7FF},
      {"\xE0\xA0\x80", 0x800},
      {"\xE3\x81\x82", 0x3042},
      {"\xED\x9F\xBF", 0xD7FF},
      {"\xEE\x80\x80", 0xE000},
      {"\xEF\xBF\xBF", 0xFFFF},
      {"\xF0\x90\x80\x80", 0x10000},
      {"\xF0\x9F\x98\x80", 0x1F600},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF},
  };
  for (const auto& c : kCases) {
    const std::vector<Utf8Char> chars = Utf8Chars(c.bytes);
    ASSERT_EQ(1u, chars.size()) << test::Escape(c.bytes) << ": " << Describe(chars);
    EXPECT_EQ(c.code, chars[0].code) << test::Escape(c.bytes);
    EXPECT_EQ(c.bytes.size(), chars[0].length) << test::Escape(c.bytes);
  }
}

TEST(NextUtf8CharTest, EachIllFormedSequenceIsItsMaximalSubpart) {
  const struct {
    std::string_view bytes;
    std::string_view expected;
  } kCases[] = {
      // The example of Unicode 3.9 (table 3-8): a, one bad of 3, one of 2,
      // one of 1, b, one, c, two single ones, d.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "U+0061/1 bad/3 bad/2 bad/1 U+0062/1 bad/1 U+0063/1 bad/1 bad/1 U+0064/1 "},
      {"\x80", "bad/1 "},                                // a stray continuation byte
      {"\xBF\xBF", "bad/1 bad/1 "},                      // two of them
      {"\xC0\xAF", "bad/1 bad/1 "},                      // overlong "/"
      {"\xC1\xBF", "bad/1 bad/1 "},                      // overlong
      {"\xE0\x80\xAF", "bad/1 bad/1 bad/1 "},            // overlong "/" in three bytes
      {"\xF0\x80\x80\xAF", "bad/1 bad/1 bad/1 bad/1 "},  // and in four
      {"\xED\xA0\x80", "bad/1 bad/1 bad/1 "},            // the surrogate U+D800
      {"\xED\xBF\xBF", "bad/1 bad/1 bad/1 "},            // U+DFFF
      {"\xF4\x90\x80\x80", "bad/1 bad/1 bad/1 bad/1 "},  // U+110000
      {"\xF5\x80", "bad/1 bad/1 "},
      {"\xFF", "bad/1 "},
      {"\xC2", "bad/1 "},  // cut at the end of the text
      {"\xE3\x81", "bad/2 "},
      {"\xF0\x9F\x98", "bad/3 "},
      {"\xE3\x81"
       "A",
       "bad/2 U+0041/1 "},                      // cut short by ASCII
      {"\xE3\xE3\x81\x82", "bad/1 U+3042/3 "},  // by the start of a character
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.expected, Describe(Utf8Chars(c.bytes))) << test::Escape(c.bytes);
  }
}

// Answers as a system might give them, and counts the questions.
class FakeCharsets final : public Charsets {
 public:
  explicit FakeCharsets(std::map<char32_t, uint16_t> answers, int* asked)
      : answers_(std::move(answers)), asked_(asked) {}
  uint16_t Cp932Of(char32_t c) override {
    ++*asked_;
    const auto found = answers_.find(c);
    return found == answers_.end() ? 0 : found->second;
  }
  size_t Decode(std::string_view, bool, char32_t*, size_t, size_t& count) override {
    count = 0;
    return 0;
  }

 private:
  std::map<char32_t, uint16_t> answers_;
  int* asked_;
};

TEST(ToShiftJisTest, OnlyWhatIsACharacterOfCodePage932IsTakenFromTheSystem) {
  int asked = 0;
  ToShiftJis toShiftJis(kUtf8CodePage, std::make_unique<FakeCharsets>(
                                           std::map<char32_t, uint16_t>{
                                               {0x3042, 0x82A0},  // HIRAGANA A
                                               {0xFF71, 0xB1},    // HALFWIDTH KATAKANA A
                                               {0xE9, 'e'},       // a best fit for e acute
                                               {0x80, 0x80},      // bytes without a character
                                               {0xF8F0, 0xA0},
                                               {0xF8F3, 0xFF},
                                               {0x4E00, 0x7F41},  // a lead byte that is none
                                               {0x4E01, 0x8120},  // a trail byte that is none
                                           },
                                           &asked));
  EXPECT_EQ(0x82A0, toShiftJis.CodeOf(0x3042));
  EXPECT_EQ(0xB1, toShiftJis.CodeOf(0xFF71));
  for (const char32_t c : {0xE9, 0x80, 0xF8F0, 0xF8F3, 0x4E00, 0x4E01, 0x4E02})
    EXPECT_EQ(kGeta932, toShiftJis.CodeOf(c)) << std::hex << static_cast<unsigned>(c);
  // ASCII, the JIS variants, what lies beyond the BMP and surrogates are
  // the core's own; the system is asked once for each other character.
  const int before = asked;
  EXPECT_EQ(0x5C, toShiftJis.CodeOf(0x5C));
  EXPECT_EQ(0x5C, toShiftJis.CodeOf(0xA5));
  EXPECT_EQ(0x8160, toShiftJis.CodeOf(0x301C));
  EXPECT_EQ(kGeta932, toShiftJis.CodeOf(0x1F600));
  EXPECT_EQ(kGeta932, toShiftJis.CodeOf(0xD800));
  EXPECT_BYTES_EQ(Sjis({0x82A0, 0x82A0, 0x82A0, 'a', 0x82A0}), toShiftJis.Convert("あああaあ"));
  EXPECT_EQ(before, asked);
}

std::unique_ptr<Charsets> SystemCharsets(unsigned codePage, const char* codeset) {
  return platform::OpenCharsets(LocaleInfo{"JPN", codePage, {}, codeset});
}

ToShiftJis FromUtf8() {
  return ToShiftJis(kUtf8CodePage, SystemCharsets(kUtf8CodePage, "UTF-8"));
}

TEST(Utf8ToShiftJisTest, CharactersOfCodePage932GetItsCodes) {
  const struct {
    std::string_view utf8;
    std::string sjis;
  } kCases[] = {
      {"", ""},
      {"mail@example.com 123\t~\\", "mail@example.com 123\t~\\"},
      {"あいう", Sjis({0x82A0, 0x82A2, 0x82A4})},
      {"漢字", Sjis({0x8ABF, 0x8E9A})},
      {"ｱｶﾞ｡", Sjis({0xB1, 0xB6, 0xDE, 0xA1})},                    // half-width: widened later
      {"①⑳㈱№Ⅲ", Sjis({0x8740, 0x8753, 0x878A, 0x8782, 0x8756})},  // NEC row 13
      {"ソ表能", Sjis({0x835C, 0x955C, 0x945C})},                  // second byte 0x5C
      {"髙ⅰ", Sjis({0xFBFC, 0xFA40})},  // IBM extensions, as Windows has them
      {"≒∵", Sjis({0x81E0, 0x81E6})},   // JIS X 0208, not the row 13 copies
      // The yen sign and the overline of JIS X 0201 are the bytes 0x5C and
      // 0x7E, as on a Japanese keyboard of a code page 932 system.
      {"¥‾", "\\~"},
      {"￥￣", Sjis({0x818F, 0x8150})},
      // Both code points of each JIS character: code page 932's and the one
      // JIS-based converters give.
      {"～〜", Sjis({0x8160, 0x8160})},
      {"∥‖", Sjis({0x8161, 0x8161})},
      {"－−", Sjis({0x817C, 0x817C})},
      {"―—", Sjis({0x815C, 0x815C})},
      {"￠¢￡£￢¬", Sjis({0x8191, 0x8191, 0x8192, 0x8192, 0x81CA, 0x81CA})},
      {"〓", Sjis({0x81AC})},
  };
  ToShiftJis toShiftJis = FromUtf8();
  for (const auto& c : kCases) EXPECT_BYTES_EQ(c.sjis, toShiftJis.Convert(c.utf8)) << c.utf8;
}

TEST(Utf8ToShiftJisTest, WhatCodePage932LacksIsOneGetaEachAndTheTextGoesOn) {
  const struct {
    std::string_view utf8;
    std::string sjis;
  } kCases[] = {
      {"😀", kGeta},
      {"a😀b", "a" + kGeta + "b"},
      {"👍🏻", kGeta + kGeta},  // a character and its modifier
      {"café", "caf" + kGeta},      // no best fit to "e"
      {"€ 100", kGeta + " 100"},
      {"한글", kGeta + kGeta},
      {"\xC2\x80", kGeta},      // U+0080, which code page 932 gives the byte 0x80
      {"\xEF\xA3\xB0", kGeta},  // U+F8F0, its byte 0xA0
      {"\xEF\xBB\xBF"
       "x",
       kGeta + "x"},                // U+FEFF
      {"\xF3\xA0\x81\x81", kGeta},  // a tag character
  };
  ToShiftJis toShiftJis = FromUtf8();
  for (const auto& c : kCases) EXPECT_BYTES_EQ(c.sjis, toShiftJis.Convert(c.utf8)) << c.utf8;
}

TEST(Utf8ToShiftJisTest, EachBadSequenceIsOneGetaAndNothingElseIsLost) {
  const std::string a = Sjis({0x82A0});  // HIRAGANA A
  const struct {
    std::string_view utf8;
    std::string sjis;
  } kCases[] = {
      {"\x80", kGeta},
      {"x\x80\xBFy", "x" + kGeta + kGeta + "y"},
      {"\xC0\xAF", kGeta + kGeta},
      {"\xE0\x80\xAF"
       "a",
       kGeta + kGeta + kGeta + "a"},
      {"\xED\xA0\x80"
       "a",
       kGeta + kGeta + kGeta + "a"},
      {"\xF4\x90\x80\x80", kGeta + kGeta + kGeta + kGeta},
      {"\xFE\xFF", kGeta + kGeta},
      {"あ\xE3\x81", a + kGeta},
      {"\xE3\x81"
       "あ",
       kGeta + a},
      {"\xE3\x81\r\n", kGeta + "\r\n"},
      {"\xF0\x9F\x98", kGeta},
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + kGeta + kGeta + kGeta + "b" + kGeta + "c" + kGeta + kGeta + "d"},
  };
  ToShiftJis toShiftJis = FromUtf8();
  for (const auto& c : kCases)
    EXPECT_BYTES_EQ(c.sjis, toShiftJis.Convert(c.utf8)) << test::Escape(c.utf8);
}

TEST(Utf8ToShiftJisTest, FiftyMebibytesInLinearTime) {
  const std::string_view unit = "本文はこうです。ｶﾞ①😀 plain text\xE3\x81\r\n";
  const std::string unit932 = FromUtf8().Convert(unit);
  std::string text;
  text.reserve((50u << 20) + unit.size());
  while (text.size() < (50u << 20)) text += unit;
  const auto start = std::chrono::steady_clock::now();
  ToShiftJis toShiftJis = FromUtf8();
  const std::string converted = toShiftJis.Convert(text);
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  std::printf("%zu bytes of UTF-8 in %.3f s (%.0f MB/s)\n", text.size(), elapsed.count(),
              static_cast<double>(text.size()) / 1e6 / elapsed.count());
  const size_t units = text.size() / unit.size();
  ASSERT_EQ(units * unit932.size(), converted.size());
  for (size_t i = 0; i < units; i += units / 7)
    ASSERT_EQ(unit932, converted.substr(i * unit932.size(), unit932.size())) << "unit " << i;
  ASSERT_EQ(unit932, converted.substr(converted.size() - unit932.size()));
}

// Whether Shift_JIS text holds an IBM extension character, read one
// character after another from the start: the reference for the quicker
// HoldsIbmExtension.
bool IbmExtensionCharByChar(std::string_view sjis) {
  for (size_t i = 0; i < sjis.size(); ++i) {
    const auto b = static_cast<uint8_t>(sjis[i]);
    if (!IsLeadByte(b) || i + 1 == sjis.size() || !IsTrailByte(static_cast<uint8_t>(sjis[i + 1])))
      continue;
    if (b >= 0xFA) return true;
    ++i;
  }
  return false;
}

TEST(HoldsIbmExtensionTest, OnlyALeadByteOf0xFATo0xFCBeforeATrailByte) {
  EXPECT_FALSE(HoldsIbmExtension(""));
  EXPECT_TRUE(HoldsIbmExtension(Sjis({0xFA40})));
  EXPECT_TRUE(HoldsIbmExtension("abc" + Sjis({0x82A0, 0xFC4B})));
  EXPECT_FALSE(HoldsIbmExtension(Sjis({0x88FA, 0x88FB, 0x88FC})));  // trail bytes
  EXPECT_FALSE(HoldsIbmExtension("\xFA"));                          // a lead byte at the end
  EXPECT_FALSE(HoldsIbmExtension("\xFA "));                         // before no trail byte
  EXPECT_FALSE(HoldsIbmExtension("\xFD\x40\xFE\x80\xFF\xFA"));
  // Whether 0xFA begins a character hangs on every lead byte before it.
  EXPECT_TRUE(HoldsIbmExtension(std::string(40, '\x88') + "\xFA\x40"));
  EXPECT_FALSE(HoldsIbmExtension(std::string(41, '\x88') + "\xFA\x40"));
  EXPECT_TRUE(HoldsIbmExtension(std::string(41, '\x88') + "\xFD\xFA\x40"));
}

TEST(HoldsIbmExtensionTest, AgreesWithAReadingCharacterByCharacter) {
  // Bytes that lead, trail, both, or neither, with 0xFA to 0xFF often.
  const uint8_t bytes[] = {'a',  ' ',  0x40, 0x7F, 0x80, 0x82, 0x88, 0x9F, 0xA0,
                           0xDF, 0xE0, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
  std::mt19937 random(932);
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 40, '\0');
    for (char& c : text) c = static_cast<char>(bytes[random() % std::size(bytes)]);
    // A long stretch first, so that the word-at-a-time search has its say.
    if (round % 2 == 0) text.insert(0, std::string(random() % 30, "a\x82\x88\x9F"[round % 4]));
    ASSERT_EQ(IbmExtensionCharByChar(text), HoldsIbmExtension(text)) << test::Escape(text);
  }
}

// The code of every character, folded into one number (FNV-1a): the same
// number on every system means the same mail from every system.
uint64_t DigestOfAllCodes(ToShiftJis& toShiftJis, size_t* mapped) {
  uint64_t hash = 0xcbf29ce484222325u;
  *mapped = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const uint16_t code = toShiftJis.CodeOf(c);
    if (code != kGeta932) ++*mapped;
    for (const int shift : {8, 0}) {
      hash ^= (code >> shift) & 0xFF;
      hash *= 0x100000001b3u;
    }
  }
  return hash;
}

TEST(Utf8ToShiftJisTest, EveryCharacterGetsTheSameCodeOnEverySystem) {
  ToShiftJis toShiftJis = FromUtf8();
  size_t mapped = 0;
  const uint64_t digest = DigestOfAllCodes(toShiftJis, &mapped);
  std::printf("%zu characters have a code of their own; digest %016llx\n", mapped,
              static_cast<unsigned long long>(digest));
  EXPECT_EQ(0xe636cec588e825bdu, digest);
}

#ifndef _WIN32
// On Linux the codes are glibc's CP932: what it gives for a character, and
// GETA where it gives nothing.
TEST(Utf8ToShiftJisTest, EveryCharacterGetsTheCodeGlibcGivesIt) {
  iconv_t cd = iconv_open("CP932", "UTF-32BE");
  ASSERT_NE(reinterpret_cast<iconv_t>(-1), cd);
  ToShiftJis toShiftJis = FromUtf8();
  size_t mismatches = 0;
  for (char32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char in[4] = {0, static_cast<char>(c >> 16), static_cast<char>(c >> 8), static_cast<char>(c)};
    char out[8];
    char* inPtr = in;
    char* outPtr = out;
    size_t inLeft = sizeof in, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const bool converted = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1);
    const size_t n = sizeof out - outLeft;
    const std::string glibc = converted && n > 0 ? std::string(out, n) : kGeta;
    const uint16_t ours = toShiftJis.CodeOf(c);
    if (glibc != Sjis({ours}) && ++mismatches <= 10)
      ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(c) << ": glibc "
                    << test::Escape(glibc) << ", ours " << ours;
  }
  iconv_close(cd);
  EXPECT_EQ(0u, mismatches);
}
#endif

// The other code pages of a Japanese locale, through the system: by number
// on Windows, by codeset name on Linux.
struct CodePageCase {
  unsigned codePage;    // Windows
  const char* codeset;  // Linux
  std::string text;
  std::string sjis;
};

void ExpectConverted(const CodePageCase& c) {
  std::unique_ptr<Charsets> charsets = SystemCharsets(c.codePage, c.codeset);
  ASSERT_NE(nullptr, charsets) << c.codePage << " " << c.codeset;
  ToShiftJis toShiftJis(c.codePage, std::move(charsets));
  EXPECT_BYTES_EQ(c.sjis, toShiftJis.Convert(c.text))
      << c.codePage << " " << c.codeset << ": " << test::Escape(c.text);
}

TEST(CodePageToShiftJisTest, ChineseAndKoreanCodePagesKeepTheirKanaAndKanji) {
  const CodePageCase kCases[] = {
      // 日本語, HIRAGANA A, KATAKANA A in GBK
      {936, "GBK", "\xC8\xD5\xB1\xBE\xD5\x5A \xA4\xA2\xA5\xA2",
       Sjis({0x93FA, 0x967B, 0x8CEA, ' ', 0x82A0, 0x8341})},
      {936, "GBK", "\xBC\xF2", kGeta},                   // a simplified character JIS lacks
      {936, "GBK", "\x81 a\xC8", kGeta + " a" + kGeta},  // a lead byte alone, and at the end
      // 日本語, HIRAGANA A, KATAKANA A in Unified Hangul Code
      {949, "CP949", "\xEC\xED\xDC\xE2\xE5\xDE \xAA\xA2\xAB\xA2",
       Sjis({0x93FA, 0x967B, 0x8CEA, ' ', 0x82A0, 0x8341})},
      {949, "CP949", "\xC7\xD1", kGeta},  // HANGUL HAN
      // 日本語, 山田 in Big5
      {950, "BIG5", "\xA4\xE9\xA5\xBB\xBB\x79 \xA4\x73\xA5\xD0",
       Sjis({0x93FA, 0x967B, 0x8CEA, ' ', 0x8E52, 0x9363})},
      // A Japanese user on a Western code page: what it has in common with
      // code page 932 survives.
      {1252, "CP1252", "caf\xE9 \xA3\xA5", "caf" + kGeta + " " + Sjis({0x8192}) + "\\"},
  };
  for (const CodePageCase& c : kCases) ExpectConverted(c);
}

#ifdef _WIN32
TEST(CodePageToShiftJisTest, AWindowsLeadByteTakesTheByteAfterItFrom0x40Up) {
  // 0x81 0x7F is no character of code page 936: one GETA for the pair.
  ExpectConverted({936, "",
                   "\x81\x7F"
                   "a",
                   kGeta + "a"});
}

TEST(CodePageToShiftJisTest, CodePagesWindowsDoesNotHaveGiveNoConversion) {
  EXPECT_EQ(nullptr, SystemCharsets(12345, ""));
}
#else
TEST(CodePageToShiftJisTest, EucJpLocalesGetTheirJisCharactersThrough) {
  const CodePageCase kCases[] = {
      // 日本語 あ ｱ: JIS X 0208 and half-width katakana
      {0, "EUC-JP", "\xC6\xFC\xCB\xDC\xB8\xEC \xA4\xA2\x8E\xB1",
       Sjis({0x93FA, 0x967B, 0x8CEA, ' ', 0x82A0, 0xB1})},
      {0, "eucJP", "\xA4\xA2", Sjis({0x82A0})},
      {0, "ujis", "\xA4\xA2", Sjis({0x82A0})},
      // Row 13 is not in glibc's EUC-JP, only in its eucJP-ms.
      {0, "EUC-JP", "\xAD\xA1", kGeta},
      {0, "eucJP-ms", "\xAD\xA1", Sjis({0x8740})},
      // A JIS X 0212 character code page 932 lacks: one GETA for its three bytes.
      {0, "EUC-JP",
       "\x8F\xB0\xA1"
       "a",
       kGeta + "a"},
      // Bad sequences: a pair of an unassigned row is one, a lead byte
      // before ASCII is one and the ASCII stays, as does a stray byte and
      // a character cut off at the end.
      {0, "EUC-JP", "\xA9\xA1\xA4\xA2", kGeta + Sjis({0x82A0})},
      {0, "EUC-JP",
       "\xA4"
       "A",
       kGeta + "A"},
      {0, "EUC-JP", "\x80\xA4\xA2", kGeta + Sjis({0x82A0})},
      {0, "EUC-JP", "a\xA4", "a" + kGeta},
  };
  for (const CodePageCase& c : kCases) ExpectConverted(c);
}

TEST(CodePageToShiftJisTest, CodesetsIconvDoesNotKnowGiveNoConversion) {
  EXPECT_EQ(nullptr, SystemCharsets(0, "x-no-such-codeset"));
  EXPECT_NE(nullptr, SystemCharsets(kUtf8CodePage, "UTF-8"));
}
#endif

}  // namespace
}  // namespace vtl::jtext
