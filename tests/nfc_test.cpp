#include "jtext/nfc.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "jtext/recode.h"
#include "support/hex.h"

namespace vtl::jtext {
namespace {

TEST(ToNfcTest, ComposesReordersAndKeepsWhatIsNotUtf8) {
  const struct {
    const char* group;
    std::string_view text;
    std::string_view nfc;
  } cases[] = {
      // Kana with the combining sound marks, as macOS names files.
      {"kana", "\u30BD\u3099", "\u30BE"},  // ソ and the voiced sound mark: ゾ
      {"kana", "\u30CF\u309A", "\u30D1"},  // ハ and the semi-voiced sound mark: パ
      {"kana", "\u304B\u3099\u3057\u3099", "\u304C\u3058"},  // がじ
      {"kana", "\u30A6\u3099", "\u30F4"},                    // ヴ
      {"kana", "\u30FC\u3099", "\u30FC\u3099"},              // no composite
      {"kana", "\uFF76\u3099", "\uFF76\u3099"},              // half-width: none either
      {"kana", "\u30BE\u309B", "\u30BE\u309B"},              // the spacing mark stays
      {"kana", "\u30D5\u309A\u30ED\u30B7\u3099\u30A7\u30AF\u30C8.pdf",
       "\u30D7\u30ED\u30B8\u30A7\u30AF\u30C8.pdf"},  // プロジェクト.pdf
      {"latin", "e\u0301te\u0301", "\u00E9t\u00E9"},
      {"latin", "A\u030A", "\u00C5"},
      {"latin", "\uFB01", "\uFB01"},  // a compatibility ligature: NFC keeps it
      {"hangul", "\u1100\u1161", "\uAC00"},
      {"hangul", "\u1100\u1161\u11A8", "\uAC01"},
      {"hangul", "\uAC00\u11A8", "\uAC01"},
      {"hangul", "\uAC00\u11A7", "\uAC00\u11A7"},  // U+11A7 is no trailing consonant
      {"hangul", "\uAC01\u11A8", "\uAC01\u11A8"},  // a syllable has one
      {"hangul", "\u1100\u1100\u1161", "\u1100\uAC00"},
      {"reorder", "a\u0301\u0316", "\u00E1\u0316"},              // 220 goes before 230
      {"reorder", "\u1E0B\u0323", "\u1E0D\u0307"},               // UAX #15's example
      {"reorder", "a\u0308\u0301\u0316", "\u00E4\u0316\u0301"},  // the second 230 is blocked
      {"exclusion", "\u0958", "\u0915\u093C"},
      {"exclusion", "\u0915\u093C", "\u0915\u093C"},
      {"exclusion", "\u2ADC", "\u2ADD\u0338"},
      {"exclusion", "\u0344", "\u0308\u0301"},  // decomposes to non-starters
      {"singleton", "\u212B", "\u00C5"},        // ANGSTROM SIGN
      {"singleton", "\u2126", "\u03A9"},        // OHM SIGN
      {"singleton", "\uF900", "\u8C48"},        // a CJK compatibility ideograph
      {"singleton", "\u0340", "\u0300"},
      {"not UTF-8", "e\x80\u0301", "e\x80\u0301"},  // a bad byte blocks composition
      {"not UTF-8", "\xC0\xAF\xFF", "\xC0\xAF\xFF"},
      {"not UTF-8", "\u30BD\xE3\x82", "\u30BD\xE3\x82"},
      {"not UTF-8", "\xED\xA0\x80\u0301", "\xED\xA0\x80\u0301"},  // a surrogate
      {"not UTF-8", "\xE3\x82\u30BD\u3099\xE3", "\xE3\x82\u30BE\xE3"},
      {"as it is", "", ""},
      {"as it is", "report 2024.pdf", "report 2024.pdf"},
      {"as it is", "\u8868.pdf", "\u8868.pdf"},
      {"around", "A \u30BD\u3099 B \u30CF\u309A C", "A \u30BE B \u30D1 C"},
  };
  for (const auto& c : cases)
    EXPECT_BYTES_EQ(std::string(c.nfc), ToNfc(c.text)) << c.group << ": " << test::Escape(c.text);
}

TEST(ToNfcTest, LongRunOfMarksIsOrderedStably) {
  std::string text = "a", nfc = "\u00E1";
  for (int i = 0; i < 50; ++i) text += "\u0301\u0316";
  for (int i = 0; i < 50; ++i) nfc += "\u0316";
  for (int i = 0; i < 49; ++i) nfc += "\u0301";
  EXPECT_BYTES_EQ(nfc, ToNfc(text));
}

std::string Utf8OfHex(std::string_view hex) {
  std::istringstream in{std::string(hex)};
  std::string out;
  unsigned code = 0;
  while (in >> std::hex >> code) AppendUtf8(static_cast<char32_t>(code), out);
  return out;
}

// Python's unicodedata.normalize("NFC") for every character with a
// canonical decomposition, decomposed and as it is, for marks in every
// order and for Hangul: tools/gen_nfc_tables.py wrote them with the tables.
TEST(ToNfcTest, AgreesWithPythonOnTheGeneratedCases) {
  std::ifstream in(VTL_NFC_CASES);
  ASSERT_TRUE(in) << VTL_NFC_CASES;
  std::string line;
  size_t count = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t semicolon = line.find(';');
    ASSERT_NE(std::string::npos, semicolon) << line;
    const std::string text = Utf8OfHex(std::string_view(line).substr(0, semicolon));
    const std::string nfc = Utf8OfHex(std::string_view(line).substr(semicolon + 1));
    EXPECT_BYTES_EQ(nfc, ToNfc(text)) << line;
    EXPECT_BYTES_EQ(nfc, ToNfc(nfc)) << "not stable: " << line;
    ++count;
  }
  EXPECT_GT(count, 400u);
}

}  // namespace
}  // namespace vtl::jtext
