#include "jtext/jtext.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/hex.h"
#include "support/iso2022_reader.h"

#if defined(__GLIBC__)
#include <iconv.h>
#endif

namespace vtl::jtext {
namespace {

using test::Base64Decode;
using test::Iso2022Reading;
using test::kJisFlag;
using test::ReadIso2022Jp;

const TextMode kJapanese = jtext::ShiftJisMode(true);
constexpr std::string_view kToJis = "\x1b$B";
constexpr std::string_view kToAscii = "\x1b(B";

std::string Pair(uint16_t code) {
  return {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

// JIS X 0208 codes between the escapes that enclose them.
std::string JisRun(std::initializer_list<uint16_t> codes) {
  std::string out(kToJis);
  for (uint16_t code : codes) out += Pair(code);
  out += kToAscii;
  return out;
}

// Text of the sorts a Shift_JIS user produces, with the broken pieces that
// reach a mailer anyway. ESC is left out: it has a test of its own.
std::string RandomShiftJisText(std::mt19937& rng, size_t units) {
  auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto lead = [&] { return in(0, 1) ? in(0x81, 0x9F) : in(0xE0, 0xFC); };
  auto trail = [&] { return in(0, 1) ? in(0x40, 0x7E) : in(0x80, 0xFC); };
  std::string s;
  for (size_t u = 0; u < units; ++u) {
    switch (in(0, 9)) {
      case 0:
      case 1:
      case 2:
        s.push_back(static_cast<char>(in(0x20, 0x7E)));
        break;
      case 3:
      case 4:
        s.push_back(static_cast<char>(lead()));
        s.push_back(static_cast<char>(trail()));
        break;
      case 5:
        s.push_back(static_cast<char>(in(0xA1, 0xDF)));
        break;
      case 6: {
        static constexpr char kOdd[] = {'\t',   '\x01', '\x7F', '\x80',
                                        '\xA0', '\xFD', '\xFE', '\xFF'};
        s.push_back(kOdd[in(0, sizeof kOdd - 1)]);
        break;
      }
      case 7:
        s.push_back(static_cast<char>(lead()));  // maybe without its trail byte
        break;
      case 8:
        s.push_back(static_cast<char>(in(0xF0, 0xFC)));
        s.push_back(static_cast<char>(trail()));
        break;
      default: {
        int b = in(0x00, 0xFF);
        if (b == 0x1B) b = 0x1C;
        s.push_back(static_cast<char>(b));
        break;
      }
    }
  }
  return s;
}

TEST(TextModeTest, JapaneseLocaleIsJpnInAnyCase) {
  for (const char* name : {"JPN", "jpn", "Jpn"}) EXPECT_TRUE(IsJapaneseLocale(name)) << name;
  for (const char* name : {"ENU", "JP", "", "JA"}) EXPECT_FALSE(IsJapaneseLocale(name)) << name;
}

TEST(TextModeTest, OnlyJapaneseLocaleOnShiftJisConverts) {
  const TextMode both = DecideTextMode("JPN", 932, ShiftJisLeadBytes());
  EXPECT_TRUE(both.japanese);
  EXPECT_TRUE(both.Converts());

  const TextMode otherCodePage = DecideTextMode("JPN", 1252, {});
  EXPECT_TRUE(otherCodePage.japanese);
  EXPECT_FALSE(otherCodePage.Converts());

  const TextMode otherLocale = DecideTextMode("ENU", 932, ShiftJisLeadBytes());
  EXPECT_FALSE(otherLocale.japanese);
  EXPECT_FALSE(otherLocale.Converts());
}

TEST(TextModeTest, TextIsUntouchedUnlessJapaneseAndShiftJis) {
  const std::string text = "A\x82\xA0\xB6\xDE\x81 \x80\xFF\x82";
  for (const TextMode mode : {TextMode{true, false, {}}, jtext::ShiftJisMode(false), TextMode{}}) {
    const Iso2022Text converted = ToIso2022Jp(text, mode);
    EXPECT_BYTES_EQ(text, converted.bytes);
    EXPECT_FALSE(converted.hadDoubleByte);
    EXPECT_BYTES_EQ(text, EncodeHeaderText(text, mode));
    EXPECT_BYTES_EQ(text, WidenHalfwidthKana(text, mode));
  }
}

TEST(ToIso2022JpTest, HiraganaAIsOneJisCharacterBetweenEscapes) {
  const Iso2022Text converted = ToIso2022Jp("\x82\xA0", kJapanese);
  EXPECT_BYTES_EQ("\x1b\x24\x42\x24\x22\x1b\x28\x42", converted.bytes);
  EXPECT_TRUE(converted.hadDoubleByte);
  EXPECT_EQ("=?ISO-2022-JP?B?GyRCJCIbKEI=?=", EncodeHeaderText("\x82\xA0", kJapanese));
}

TEST(ToIso2022JpTest, EscapesOnlyWhereTheCharacterSetChanges) {
  EXPECT_BYTES_EQ("A\x1b$B$\"\x1b(BB", ToIso2022Jp("A\x82\xA0"
                                                   "B",
                                                   kJapanese)
                                           .bytes);
  // Adjacent double-byte characters share one escape; the text ends in ASCII.
  EXPECT_BYTES_EQ("abc" + JisRun({0x3441, 0x3B7A}) + "de" + JisRun({0x2424}),
                  ToIso2022Jp("abc\x8A\xBF\x8E\x9A"
                              "de\x82\xA2",
                              kJapanese)
                      .bytes);
  EXPECT_BYTES_EQ(JisRun({0x3021}) + "x", ToIso2022Jp("\x88\x9Fx", kJapanese).bytes);
}

TEST(ToIso2022JpTest, AsciiTextIsUnchanged) {
  std::string ascii = "\t";
  for (char c = 0x20; c < 0x7F; ++c) ascii.push_back(c);
  const Iso2022Text converted = ToIso2022Jp(ascii, kJapanese);
  EXPECT_BYTES_EQ(ascii, converted.bytes);
  EXPECT_FALSE(converted.hadDoubleByte);
  EXPECT_BYTES_EQ(ascii, EncodeHeaderText(ascii, kJapanese));
}

TEST(ToIso2022JpTest, LeadByteAtEndOfTextBecomesGetaMark) {
  const Iso2022Text alone = ToIso2022Jp("a\x82", kJapanese);
  EXPECT_BYTES_EQ("a" + JisRun({kGetaMark}), alone.bytes);
  EXPECT_TRUE(alone.hadDoubleByte);
  EXPECT_BYTES_EQ(JisRun({0x2422, kGetaMark}), ToIso2022Jp("\x82\xA0\x82", kJapanese).bytes);
}

TEST(ToIso2022JpTest, LeadByteWithoutTrailIsGetaAndTheNextByteIsKept) {
  EXPECT_BYTES_EQ(JisRun({kGetaMark}) + " ", ToIso2022Jp("\x81 ", kJapanese).bytes);
  EXPECT_BYTES_EQ(JisRun({kGetaMark}) + "\x7F", ToIso2022Jp("\x81\x7F", kJapanese).bytes);
  EXPECT_BYTES_EQ("x" + JisRun({kGetaMark}) + "0y", ToIso2022Jp("x\xE0"
                                                                "0y",
                                                                kJapanese)
                                                        .bytes);
}

TEST(ToIso2022JpTest, ControlBytesFollowASwitchBackToAscii) {
  for (const char control : {'\t', '\x01', '\x7F'}) {
    std::string text = "\x82\xA0";
    text.push_back(control);
    EXPECT_BYTES_EQ(JisRun({0x2422}) + control, ToIso2022Jp(text, kJapanese).bytes);
  }
}

TEST(ToIso2022JpTest, BytesWithoutACharacterBecomeQuestionMarks) {
  for (const char odd : {'\x80', '\xA0', '\xFD', '\xFE', '\xFF'}) {
    const Iso2022Text inAscii = ToIso2022Jp(std::string("a") + odd + "b", kJapanese);
    EXPECT_BYTES_EQ("a?b", inAscii.bytes);
    EXPECT_FALSE(inAscii.hadDoubleByte);
    EXPECT_BYTES_EQ(JisRun({0x2422}) + "?",
                    ToIso2022Jp(std::string("\x82\xA0") + odd, kJapanese).bytes);
  }
}

TEST(ToIso2022JpTest, LeadBytesF0ToFCGiveGetaMarkAndTheTextGoesOn) {
  for (int lead = 0xF0; lead <= 0xFC; ++lead) {
    for (const int trail : {0x40, 0x7E, 0x80, 0x9E, 0x9F, 0xFC}) {
      const std::string pair = {static_cast<char>(lead), static_cast<char>(trail)};
      EXPECT_EQ(0, ShiftJisToJis(static_cast<uint8_t>(lead), static_cast<uint8_t>(trail)));
      EXPECT_BYTES_EQ("A" + JisRun({kGetaMark, 0x2422}) + "B",
                      ToIso2022Jp("A" + pair + "\x82\xA0" + "B", kJapanese).bytes);
    }
  }
}

// A raw ESC in the text would be read as an escape sequence: "ESC $ B"
// typed into a subject would leave the reader in JIS X 0208 for the rest of
// the header.
TEST(ToIso2022JpTest, RawEscapeInTextCannotSwitchTheCharacterSet) {
  for (const std::string text : {"\x1b$B", "\x1b$B$\"", "\x82\xA0\x1b$Bx", "\x1b(J", "\x1b"}) {
    const Iso2022Text converted = ToIso2022Jp(text, kJapanese);
    EXPECT_EQ("", ReadIso2022Jp(converted.bytes).error)
        << vtl::test::Escape(text) << " -> " << vtl::test::Escape(converted.bytes);
    for (const std::string& word : EncodeHeaderWords(text, 75)) {
      const auto decoded = Base64Decode(
          word.substr(kEncodedWordPrefix.size(), word.size() - kEncodedWordPrefix.size() - 2));
      ASSERT_TRUE(decoded.has_value());
      EXPECT_EQ("", ReadIso2022Jp(*decoded).error)
          << vtl::test::Escape(text) << " -> " << vtl::test::Escape(*decoded);
    }
  }
}

TEST(ToIso2022JpTest, OutputIsSevenBitWellFormedAndEndsInAscii) {
  std::mt19937 rng(20230309);
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<int> byte(0, 0xFF);
  int failures = 0;
  for (int n = 0; n < 4000 && failures < 5; ++n) {
    std::string text;
    if (n % 2 == 0) {
      text = RandomShiftJisText(rng, static_cast<size_t>(length(rng)));
    } else {
      for (int k = length(rng); k > 0; --k) {
        int b = byte(rng);
        if (b == 0x1B) b = 0x1C;  // see RawEscapeInTextCannotSwitchTheCharacterSet
        text.push_back(static_cast<char>(b));
      }
    }
    const Iso2022Text converted = ToIso2022Jp(text, kJapanese);
    const Iso2022Reading reading = ReadIso2022Jp(converted.bytes);
    bool anyJis = false;
    for (uint32_t c : reading.chars) anyJis = anyJis || (c & kJisFlag) != 0;
    const bool ok = reading.error.empty() && anyJis == converted.hadDoubleByte;
    EXPECT_TRUE(ok) << "text " << vtl::test::Escape(text) << "\noutput "
                    << vtl::test::Escape(converted.bytes) << "\n"
                    << reading.error;
    if (!ok) ++failures;
  }
}

// The inverse of the Shift_JIS arithmetic, as usually written from the JIS
// side: two JIS rows share one lead byte, odd rows take the lower trail bytes.
uint16_t JisToShiftJis(int j1, int j2) {
  int s1 = (j1 + 1) / 2 + 0x70;
  if (s1 >= 0xA0) s1 += 0x40;
  const int s2 = j1 % 2 == 1 ? j2 + 0x1F + (j2 >= 0x60 ? 1 : 0) : j2 + 0x7E;
  return static_cast<uint16_t>(s1 << 8 | s2);
}

bool LeadByteOfPair(int b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
bool TrailByteOfPair(int b) {
  return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// JIS X 0208 code of a Shift_JIS pair as glibc sees it, when glibc has one.
class IconvReference {
 public:
  IconvReference() {
#if defined(__GLIBC__)
    cd_ = iconv_open("EUC-JP", "SHIFT_JIS");
#endif
  }
  ~IconvReference() {
#if defined(__GLIBC__)
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
#endif
  }
  IconvReference(const IconvReference&) = delete;
  IconvReference& operator=(const IconvReference&) = delete;

  bool Available() const {
#if defined(__GLIBC__)
    return cd_ != reinterpret_cast<iconv_t>(-1);
#else
    return false;
#endif
  }

  // EUC-JP writes a JIS X 0208 code with the high bit set on both bytes;
  // rows 85-94 are the user-defined area, not JIS X 0208.
  std::optional<uint16_t> Jis([[maybe_unused]] uint8_t s1, [[maybe_unused]] uint8_t s2) {
#if defined(__GLIBC__)
    if (!Available()) return std::nullopt;
    char in[2] = {static_cast<char>(s1), static_cast<char>(s2)};
    char out[8];
    char* inPtr = in;
    char* outPtr = out;
    size_t inLeft = sizeof in;
    size_t outLeft = sizeof out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
      return std::nullopt;
    }
    if (inLeft != 0 || sizeof out - outLeft != 2) return std::nullopt;
    const auto e1 = static_cast<uint8_t>(out[0]);
    const auto e2 = static_cast<uint8_t>(out[1]);
    if (e1 < 0xA1 || e1 > 0xF4 || e2 < 0xA1 || e2 > 0xFE) return std::nullopt;
    return static_cast<uint16_t>((e1 & 0x7F) << 8 | (e2 & 0x7F));
#else
    return std::nullopt;
#endif
  }

 private:
#if defined(__GLIBC__)
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
#endif
};

// Expected JIS code of every Shift_JIS pair, from JisToShiftJis over all
// 94 x 94 codes; 0 where no code lands.
std::vector<uint16_t> InverseTable() {
  std::vector<uint16_t> table(0x10000, 0);
  for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
    for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
      const uint16_t sjis = JisToShiftJis(j1, j2);
      EXPECT_EQ(0, table[sjis]) << "two JIS codes land on one pair";
      table[sjis] = static_cast<uint16_t>(j1 << 8 | j2);
    }
  }
  return table;
}

// The one-pass conversion against the character-by-character writer that
// the header and long-line paths use, on texts of every byte value and of
// lengths either side of the conversion's 4096-byte pieces, so that a pair
// split between two pieces is met.
TEST(ToIso2022JpTest, OnePassAgreesWithTheCharacterWriterAcrossPieces) {
  std::mt19937 rng(4096);
  std::uniform_int_distribution<int> byte(0, 0xFF);
  for (const size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t{4095}, size_t{4096},
                            size_t{4097}, size_t{8191}, size_t{8193}, size_t{20000}}) {
    for (int round = 0; round < 8; ++round) {
      std::string text = round % 2 == 0 ? RandomShiftJisText(rng, size) : std::string();
      while (text.size() < size) text.push_back(static_cast<char>(byte(rng)));
      text.resize(size);
      if (size > 4096 && round < 4) text[4095] = '\x88';  // a lead byte ends the first piece
      std::string expected;
      Iso2022Writer writer(expected);
      for (size_t i = 0; i < text.size();) {
        const WireChar c = NextWireChar(text, i);
        writer.Put(c);
        i += c.length;
      }
      writer.Close();
      const Iso2022Text converted = ToIso2022Jp(text, kJapanese);
      ASSERT_EQ(vtl::test::Escape(expected), vtl::test::Escape(converted.bytes))
          << "size " << size << ", round " << round;
      EXPECT_EQ(writer.hadDoubleByte(), converted.hadDoubleByte);
    }
  }
}

TEST(ShiftJisToJisTest, AgreesWithIconvAndTheInverseRuleForEveryPair) {
  const std::vector<uint16_t> inverse = InverseTable();
  IconvReference iconvRef;
  size_t viaIconv = 0, viaRule = 0, notAPair = 0, mismatches = 0;
  std::string firstMismatches;
  for (int s1 = 0; s1 <= 0xFF; ++s1) {
    for (int s2 = 0; s2 <= 0xFF; ++s2) {
      const auto b1 = static_cast<uint8_t>(s1);
      const auto b2 = static_cast<uint8_t>(s2);
      const uint16_t actual = ShiftJisToJis(b1, b2);
      uint16_t expected = 0;
      const char* source = "not a pair";
      if (!LeadByteOfPair(s1) || !TrailByteOfPair(s2)) {
        ++notAPair;
      } else if (const auto fromIconv = iconvRef.Jis(b1, b2)) {
        expected = *fromIconv;
        source = "iconv";
        ++viaIconv;
        EXPECT_EQ(inverse[static_cast<size_t>(s1 << 8 | s2)], expected)
            << "the test's inverse rule disagrees with iconv";
      } else {
        expected = inverse[static_cast<size_t>(s1 << 8 | s2)];
        source = "inverse rule";
        ++viaRule;
      }
      if (actual != expected) {
        if (++mismatches <= 20) {
          char line[96];
          std::snprintf(line, sizeof line, "  %02X %02X: expected %04X (%s), got %04X\n", s1, s2,
                        expected, source, actual);
          firstMismatches += line;
        }
      }
    }
  }
  std::printf(
      "Shift_JIS pairs checked: %zu against iconv, %zu against the inverse rule, "
      "%zu non-pairs\n",
      viaIconv, viaRule, notAPair);
  EXPECT_EQ(0u, mismatches) << firstMismatches;
  EXPECT_EQ(60u * 188u, viaIconv + viaRule);
#if defined(__GLIBC__)
  ASSERT_TRUE(iconvRef.Available());
  EXPECT_GE(viaIconv, 6000u);
#endif
}

TEST(ShiftJisToJisTest, EveryPairReachesTheWireAsItsJisCodeOrGetaMark) {
  const std::vector<uint16_t> inverse = InverseTable();
  size_t mismatches = 0;
  for (int s1 = 0x81; s1 <= 0xFC; ++s1) {
    if (!LeadByteOfPair(s1)) continue;
    for (int s2 = 0x40; s2 <= 0xFC; ++s2) {
      if (!TrailByteOfPair(s2)) continue;
      const uint16_t jis = inverse[static_cast<size_t>(s1 << 8 | s2)];
      const std::string text = {'A', static_cast<char>(s1), static_cast<char>(s2), 'B'};
      const std::string expected = "A" + JisRun({jis != 0 ? jis : kGetaMark}) + "B";
      const std::string actual = ToIso2022Jp(text, kJapanese).bytes;
      if (expected != actual && ++mismatches <= 10) {
        ADD_FAILURE() << vtl::test::HexDiff(expected, actual);
      }
    }
  }
  EXPECT_EQ(0u, mismatches);
}

TEST(HalfwidthKanaTest, EveryHalfwidthKanaWidensToItsFullwidthCode) {
  struct Kana {
    uint8_t half;
    uint16_t full;
  };
  static constexpr Kana kTable[] = {
      {0xA1, 0x8142}, {0xA2, 0x8175}, {0xA3, 0x8176}, {0xA4, 0x8141}, {0xA5, 0x8145},
      {0xA6, 0x8392}, {0xA7, 0x8340}, {0xA8, 0x8342}, {0xA9, 0x8344}, {0xAA, 0x8346},
      {0xAB, 0x8348}, {0xAC, 0x8383}, {0xAD, 0x8385}, {0xAE, 0x8387}, {0xAF, 0x8362},
      {0xB0, 0x815B}, {0xB1, 0x8341}, {0xB2, 0x8343}, {0xB3, 0x8345}, {0xB4, 0x8347},
      {0xB5, 0x8349}, {0xB6, 0x834A}, {0xB7, 0x834C}, {0xB8, 0x834E}, {0xB9, 0x8350},
      {0xBA, 0x8352}, {0xBB, 0x8354}, {0xBC, 0x8356}, {0xBD, 0x8358}, {0xBE, 0x835A},
      {0xBF, 0x835C}, {0xC0, 0x835E}, {0xC1, 0x8360}, {0xC2, 0x8363}, {0xC3, 0x8365},
      {0xC4, 0x8367}, {0xC5, 0x8369}, {0xC6, 0x836A}, {0xC7, 0x836B}, {0xC8, 0x836C},
      {0xC9, 0x836D}, {0xCA, 0x836E}, {0xCB, 0x8371}, {0xCC, 0x8374}, {0xCD, 0x8377},
      {0xCE, 0x837A}, {0xCF, 0x837D}, {0xD0, 0x837E}, {0xD1, 0x8380}, {0xD2, 0x8381},
      {0xD3, 0x8382}, {0xD4, 0x8384}, {0xD5, 0x8386}, {0xD6, 0x8388}, {0xD7, 0x8389},
      {0xD8, 0x838A}, {0xD9, 0x838B}, {0xDA, 0x838C}, {0xDB, 0x838D}, {0xDC, 0x838F},
      {0xDD, 0x8393}, {0xDE, 0x814A}, {0xDF, 0x814B}};
  static_assert(std::size(kTable) == 0xDF - 0xA1 + 1);
  for (const Kana& k : kTable) {
    SCOPED_TRACE(testing::Message() << "half-width byte 0x" << std::hex << int{k.half});
    const std::string half(1, static_cast<char>(k.half));
    EXPECT_EQ(k.full, WideKana(k.half));
    EXPECT_BYTES_EQ(Pair(k.full), WidenHalfwidthKana("x" + half + "y", kJapanese).substr(1, 2));
    EXPECT_BYTES_EQ(ToIso2022Jp(Pair(k.full), kJapanese).bytes, ToIso2022Jp(half, kJapanese).bytes);
  }
}

TEST(HalfwidthKanaTest, SoundMarkStaysASeparateCharacter) {
  EXPECT_BYTES_EQ("\x83\x4A\x81\x4A", WidenHalfwidthKana("\xB6\xDE", kJapanese));
  const Iso2022Text converted = ToIso2022Jp("\xB6\xDE", kJapanese);
  EXPECT_BYTES_EQ(JisRun({0x252B, 0x212B}), converted.bytes);
  EXPECT_TRUE(converted.hadDoubleByte);
}

TEST(HalfwidthKanaTest, HeaderOfOnlyHalfwidthKanaIsEncoded) {
  EXPECT_EQ("=?ISO-2022-JP?B?GyRCJSshKxsoQg==?=", EncodeHeaderText("\xB6\xDE", kJapanese));
}

// Hiragana I is 0x82 0xA2: its trail byte is in the half-width range but is
// no half-width character.
TEST(HalfwidthKanaTest, TrailBytesInTheKanaRangeAreNotWidened) {
  EXPECT_BYTES_EQ("\x82\xA2\x83\x4A", WidenHalfwidthKana("\x82\xA2\xB6", kJapanese));
  EXPECT_BYTES_EQ(JisRun({0x2424, 0x252B}), ToIso2022Jp("\x82\xA2\xB6", kJapanese).bytes);
}

TEST(HalfwidthKanaTest, WideningFirstChangesNothingOnTheWire) {
  std::mt19937 rng(932);
  for (int n = 0; n < 2000; ++n) {
    const std::string text = RandomShiftJisText(rng, 24);
    const std::string widened = WidenHalfwidthKana(text, kJapanese);
    const std::string expected = ToIso2022Jp(text, kJapanese).bytes;
    const std::string actual = ToIso2022Jp(widened, kJapanese).bytes;
    ASSERT_EQ(expected, actual) << "text " << vtl::test::Escape(text) << "\n"
                                << vtl::test::HexDiff(expected, actual);
  }
}

TEST(Base64EncodeTest, Rfc4648Vectors) {
  EXPECT_EQ("", Base64Encode(""));
  EXPECT_EQ("Zg==", Base64Encode("f"));
  EXPECT_EQ("Zm8=", Base64Encode("fo"));
  EXPECT_EQ("Zm9v", Base64Encode("foo"));
  EXPECT_EQ("Zm9vYg==", Base64Encode("foob"));
  EXPECT_EQ("Zm9vYmE=", Base64Encode("fooba"));
  EXPECT_EQ("Zm9vYmFy", Base64Encode("foobar"));
}

TEST(Base64EncodeTest, LongInputIsOneUnbrokenLine) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>(i * 7 & 0xFF));
  const std::string encoded = Base64Encode(bytes);
  EXPECT_EQ(1336u, encoded.size());
  EXPECT_EQ(std::string::npos, encoded.find_first_of("\r\n"));
  EXPECT_EQ(bytes, Base64Decode(encoded));
}

// Each word must stand alone: RFC 2047 5 lets a reader decode the words of a
// header one by one, and RFC 1468 wants every text to end in ASCII.
void ExpectWordsCarryTheText(std::string_view text) {
  const std::vector<std::string> words = EncodeHeaderWords(text, 75);
  ASSERT_FALSE(words.empty());
  std::vector<uint32_t> joined;
  for (const std::string& word : words) {
    SCOPED_TRACE(word);
    EXPECT_LE(word.size(), 75u);
    ASSERT_TRUE(word.starts_with(kEncodedWordPrefix));
    ASSERT_TRUE(word.ends_with(kEncodedWordSuffix));
    const auto decoded = Base64Decode(
        word.substr(kEncodedWordPrefix.size(), word.size() - kEncodedWordPrefix.size() - 2));
    ASSERT_TRUE(decoded.has_value());
    const Iso2022Reading reading = ReadIso2022Jp(*decoded);
    ASSERT_EQ("", reading.error) << vtl::test::Escape(*decoded);
    joined.insert(joined.end(), reading.chars.begin(), reading.chars.end());
  }
  const Iso2022Reading whole = ReadIso2022Jp(ToIso2022Jp(text, kJapanese).bytes);
  ASSERT_EQ("", whole.error);
  EXPECT_EQ(whole.chars, joined);
}

TEST(EncodeHeaderWordsTest, WordsAreCompleteShortAndCarryTheWholeText) {
  std::string kanji;
  for (int i = 0; i < 400; ++i) kanji += i % 2 ? "\x8A\xBF" : "\x8E\x9A";
  ExpectWordsCarryTheText(kanji);
  EXPECT_LE(EncodeHeaderWords(kanji, 75).size(), 25u) << "words are barely filled";

  std::string alternating;
  for (int i = 0; i < 150; ++i) alternating += i % 3 ? "a\x82\xA0" : "xy\x82\xA2z";
  ExpectWordsCarryTheText(alternating);

  ExpectWordsCarryTheText(std::string(300, 'q'));
  ExpectWordsCarryTheText("\xB6\xDE\xB6\xDE\xB6\xDE\xB6\xDE\xB6\xDE\xB6\xDE\xB6\xDE\xB6\xDE");
  ExpectWordsCarryTheText("Re: \xF0\x40\x82 \x81 \x80\x82\xA0\t\x82");

  std::mt19937 rng(75);
  std::uniform_int_distribution<int> units(1, 120);
  for (int n = 0; n < 300 && !HasFailure(); ++n) {
    const std::string text = RandomShiftJisText(rng, static_cast<size_t>(units(rng)));
    SCOPED_TRACE(vtl::test::Escape(text));
    ExpectWordsCarryTheText(text);
  }
}

}  // namespace
}  // namespace vtl::jtext
