#include "mail/message.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/fixed_time.h"
#include "support/hex.h"
#include "support/iso2022_reader.h"

namespace vtl::mail {
namespace {

using test::Base64Decode;
using test::Iso2022Reading;
using test::kJisFlag;
using test::ReadIso2022Jp;

using jtext::TextMode;

const TextMode kPlain{};
const TextMode kJapanese = jtext::ShiftJisMode(true);
constexpr std::string_view kToJis = "\x1b$B";
constexpr std::string_view kToAscii = "\x1b(B";

// Shift_JIS kanji, cycled so that a reordering or a dropped character shows.
std::string Kanji(size_t count) {
  static constexpr std::string_view kPairs[] = {"\x8A\xBF", "\x8E\x9A", "\x88\x9F", "\x93\xFA"};
  std::string out;
  for (size_t i = 0; i < count; ++i) out += kPairs[i % std::size(kPairs)];
  return out;
}

std::vector<uint32_t> CharsOf(std::string_view shiftJis) {
  const Iso2022Reading r = ReadIso2022Jp(jtext::ToIso2022Jp(shiftJis, kJapanese).bytes);
  EXPECT_EQ("", r.error);
  return r.chars;
}

bool IsWellFormedUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<uint8_t>(s[i]);
    const size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

// The physical lines of a header block or field, without their CR LF.
std::vector<std::string> PhysicalLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string_view::npos) {
      ADD_FAILURE() << "text does not end in CR LF: " << vtl::test::Escape(text.substr(pos));
      break;
    }
    lines.emplace_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

// RFC 5322 2.2.3: unfolding removes each CR LF that comes before white space.
std::string Unfold(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field.substr(i, 2) == "\r\n" && i + 2 < field.size() &&
        (field[i + 2] == ' ' || field[i + 2] == '\t')) {
      ++i;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

void ExpectLegalPhysicalLines(std::string_view field) {
  const std::vector<std::string> lines = PhysicalLines(field);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), kMaxLineLength) << "line " << i;
    EXPECT_EQ(std::string::npos, lines[i].find_first_of("\r\n")) << "bare CR or LF in line " << i;
    // RFC 5322 4.2: a line of white space alone must not be generated.
    EXPECT_NE(std::string::npos, lines[i].find_first_not_of(" \t")) << "blank line " << i;
    if (i > 0) {
      ASSERT_FALSE(lines[i].empty()) << "empty continuation line " << i;
      EXPECT_TRUE(lines[i][0] == ' ' || lines[i][0] == '\t') << "line " << i << " starts a field";
    }
  }
}

// The characters carried by the encoded-words of a folded field, each word
// checked to be complete on its own (RFC 2047 5).
std::vector<uint32_t> CharsOfEncodedWords(std::string_view field, size_t* wordCount) {
  std::vector<uint32_t> chars;
  size_t count = 0;
  for (size_t pos = field.find("=?"); pos != std::string_view::npos; pos = field.find("=?", pos)) {
    const size_t end = field.find("?=", pos + jtext::kEncodedWordPrefix.size());
    if (end == std::string_view::npos) {
      ADD_FAILURE() << "unterminated encoded-word";
      break;
    }
    const std::string_view word = field.substr(pos, end + 2 - pos);
    EXPECT_LE(word.size(), kMaxEncodedWord) << word;
    EXPECT_TRUE(word.starts_with(jtext::kEncodedWordPrefix)) << word;
    const auto decoded = Base64Decode(word.substr(
        jtext::kEncodedWordPrefix.size(), word.size() - jtext::kEncodedWordPrefix.size() - 2));
    if (!decoded) {
      ADD_FAILURE() << "bad Base64 in " << word;
      break;
    }
    const Iso2022Reading r = ReadIso2022Jp(*decoded);
    EXPECT_EQ("", r.error) << vtl::test::Escape(*decoded);
    chars.insert(chars.end(), r.chars.begin(), r.chars.end());
    ++count;
    pos = end + 2;
  }
  if (wordCount) *wordCount = count;
  return chars;
}

class CollectingSink : public LineSink {
 public:
  explicit CollectingSink(size_t accept = std::numeric_limits<size_t>::max()) : accept_(accept) {}
  bool Line(std::string_view line) override {
    lines.emplace_back(line);
    return lines.size() < accept_;
  }
  std::vector<std::string> lines;

 private:
  size_t accept_;
};

std::vector<std::string> BodyLines(std::string_view body, TextMode mode) {
  CollectingSink sink;
  EXPECT_TRUE(WriteBodyLines(body, mode, sink));
  return sink.lines;
}

// The content of each wire line, checked for CR LF, length and stuffing, with
// the transparency dot (RFC 5321 4.5.2) taken off again.
std::vector<std::string> Unstuffed(const std::vector<std::string>& wire) {
  std::vector<std::string> pieces;
  for (size_t i = 0; i < wire.size(); ++i) {
    const std::string& line = wire[i];
    EXPECT_NE(".\r\n", line) << "line " << i << " would end the data";
    EXPECT_TRUE(line.ends_with("\r\n")) << "line " << i << ": " << vtl::test::Escape(line);
    std::string_view content(line);
    if (content.ends_with("\r\n")) content.remove_suffix(2);
    EXPECT_LE(content.size(), kMaxLineLength) << "line " << i;
    EXPECT_EQ(std::string_view::npos, content.find_first_of("\r\n")) << "line " << i;
    if (content.starts_with('.')) {
      EXPECT_TRUE(content.starts_with("..")) << "unstuffed dot in line " << i;
      content.remove_prefix(1);
    }
    pieces.emplace_back(content);
  }
  return pieces;
}

std::string Joined(const std::vector<std::string>& pieces) {
  std::string out;
  for (const std::string& p : pieces) out += p;
  return out;
}

TEST(FormatMailDateTest, WritesRfc5322DateTime) {
  EXPECT_EQ("Thu, 09 Mar 2023 01:42:58 +0900", FormatMailDate(test::FixedTime()));
}

TEST(FormatMailDateTest, OffsetIsExactInHoursAndMinutes) {
  const struct {
    int minutes;
    const char* zone;
  } cases[] = {{-300, "-0500"}, {330, "+0530"}, {-210, "-0330"},
               {0, "+0000"},    {345, "+0545"}, {-720, "-1200"}};
  LocalTime t{
      .year = 2023, .month = 12, .day = 31, .dayOfWeek = 0, .hour = 23, .minute = 5, .second = 7};
  for (const auto& c : cases) {
    t.utcOffsetMinutes = c.minutes;
    EXPECT_EQ(std::string("Sun, 31 Dec 2023 23:05:07 ") + c.zone, FormatMailDate(t));
  }
}

class MakeMessageIdTest : public testing::Test {
 protected:
  MakeMessageIdTest() {
    t_.year = 2023;
    t_.month = 3;
    t_.day = 9;
    t_.dayOfWeek = 4;
    t_.hour = 1;
    t_.minute = 42;
    t_.second = 58;
    t_.millisecond = 123;
    t_.utcOffsetMinutes = 540;
  }
  LocalTime t_;
};

TEST_F(MakeMessageIdTest, TimeProcessCounterAndHost) {
  EXPECT_EQ("<202303090142580123.4242.7@mail.example.com>",
            MakeMessageId(t_, 4242, 7, "mail.example.com"));
  EXPECT_EQ("<202303090142580123.1.0@a-b_c.d1>", MakeMessageId(t_, 1, 0, "a-b_c.d1"));
}

TEST_F(MakeMessageIdTest, CounterAloneMakesIdsDistinct) {
  EXPECT_NE(MakeMessageId(t_, 4242, 1, "host"), MakeMessageId(t_, 4242, 2, "host"));
}

TEST_F(MakeMessageIdTest, HostThatIsNoDotAtomBecomesLocalhost) {
  for (const std::string host : {"", "my host", "a<b", "a@b", "host\r", "ho>st", ".host", "host.",
                                 "h\xC3\xB6st", "[1.2.3.4]"}) {
    EXPECT_EQ("<202303090142580123.4242.7@localhost>", MakeMessageId(t_, 4242, 7, host))
        << vtl::test::Escape(host);
  }
}

// RFC 5322 3.6.4: the right side is dot-atom-text, whose dots each sit
// between two atoms.
TEST_F(MakeMessageIdTest, HostWithAnEmptyLabelBecomesLocalhost) {
  EXPECT_EQ("<202303090142580123.4242.7@localhost>", MakeMessageId(t_, 4242, 7, "mail..example"));
}

TEST(FormatHeaderLineTest, TextThenAddressInAngleBrackets) {
  EXPECT_EQ("From: \"Name\" <a@example.com>\r\n",
            FormatHeaderLine("From:", "\"Name\"", "a@example.com", kPlain));
  EXPECT_EQ("From: \"Name\"\r\n", FormatHeaderLine("From:", "\"Name\"", "a", kPlain));
  EXPECT_EQ("From: \"Name\"\r\n", FormatHeaderLine("From:", "\"Name\"", "", kPlain));
  EXPECT_EQ("Subject: Hello there\r\n", FormatHeaderLine("Subject:", "Hello there", "", kPlain));
}

TEST(FormatHeaderLineTest, JapaneseNameIsEncodedWithItsQuotes) {
  const std::string line =
      FormatHeaderLine("From:", "\"" + Kanji(2) + "\"", "a@example.com", kJapanese);
  const std::string expected = std::string("From: =?ISO-2022-JP?B?") +
                               jtext::Base64Encode("\"\x1b$B4A;z\x1b(B\"") +
                               "?= <a@example.com>\r\n";
  EXPECT_BYTES_EQ(expected, line);
}

TEST(HeaderFoldingTest, LongAsciiTextFoldsAtWhiteSpaceAndUnfoldsToTheOriginal) {
  std::mt19937 rng(998);
  std::uniform_int_distribution<int> wordLength(1, 14);
  for (const TextMode mode : {kPlain, kJapanese}) {
    for (const char space : {' ', '\t'}) {
      std::string text;
      while (text.size() < 3500) {
        if (!text.empty()) text.push_back(space);
        text.append(static_cast<size_t>(wordLength(rng)), 'w');
      }
      for (const std::string_view address : {std::string_view(), std::string_view("a@b.example")}) {
        const std::string field = FormatHeaderLine("Subject:", text, address, mode);
        SCOPED_TRACE(testing::Message()
                     << "japanese " << mode.japanese << ", address '" << address << "'");
        ExpectLegalPhysicalLines(field);
        EXPECT_GE(PhysicalLines(field).size(), 4u);
        std::string expected = "Subject: " + text;
        if (!address.empty()) expected += " <" + std::string(address) + ">";
        EXPECT_BYTES_EQ(expected + "\r\n", Unfold(field));
      }
    }
  }
}

TEST(HeaderFoldingTest, LongTextWithoutWhiteSpaceStillFolds) {
  const std::string text(2500, 'x');
  const std::string field = FormatHeaderLine("Subject:", text, "", kPlain);
  ExpectLegalPhysicalLines(field);
  std::string letters;
  for (char c : Unfold(field)) {
    if (c != ' ' && c != '\r' && c != '\n') letters.push_back(c);
  }
  EXPECT_EQ("Subject:" + text, letters);
}

TEST(HeaderFoldingTest, RunsOfWhiteSpaceNeverMakeABlankLine) {
  const std::string texts[] = {
      "a" + std::string(2500, ' ') + "b",                     // fills whole lines
      std::string(995, ' ') + std::string(1200, 'x'),         // then a word with no break
      "a" + std::string(12, '\t') + std::string(995, 'x'),    // before a word longer than the room
      "a " + std::string(996, 'x') + std::string(2500, ' '),  // at the end
  };
  auto visible = [](std::string s) {
    std::erase_if(
        s, [](char c) { return std::string_view(" \t\r\n<>").find(c) != std::string_view::npos; });
    return s;
  };
  for (const std::string& text : texts) {
    for (const std::string_view address : {std::string_view(), std::string_view("a@b.example")}) {
      const std::string field = FormatHeaderLine("Subject:", text, address, kPlain);
      ExpectLegalPhysicalLines(field);
      EXPECT_EQ(visible("Subject:" + text + std::string(address)), visible(field));
    }
  }
}

TEST(HeaderFoldingTest, LongUtf8TextIsNotFoldedInsideACharacter) {
  const std::string_view chars[] = {"\xC3\xA9", "\xE3\x81\x82", "\xF0\x9F\x98\x80"};
  for (const std::string_view c : chars) {
    for (size_t lead = 0; lead < 4; ++lead) {
      std::string text(lead, 'a');
      while (text.size() < 2600) text += c;
      const std::string field = FormatHeaderLine("Subject:", text, "", kPlain);
      ExpectLegalPhysicalLines(field);
      for (const std::string& line : PhysicalLines(field)) {
        EXPECT_TRUE(IsWellFormedUtf8(line)) << vtl::test::Escape(line.substr(line.size() - 8));
      }
    }
  }
}

TEST(HeaderFoldingTest, LongJapaneseSubjectBecomesSeveralEncodedWords) {
  const std::string texts[] = {Kanji(400), "Re: " + Kanji(150) + " and " + Kanji(250) + " end",
                               "\xB6\xDE" + Kanji(500) + "\x82"};
  for (const std::string& text : texts) {
    const std::string field = FormatHeaderLine("Subject:", text, "", kJapanese);
    ExpectLegalPhysicalLines(field);
    const std::vector<std::string> lines = PhysicalLines(field);
    EXPECT_GE(lines.size(), 10u);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].starts_with("Subject: =?ISO-2022-JP?B?")) << lines[0];
    size_t words = 0;
    EXPECT_EQ(CharsOf(text), CharsOfEncodedWords(field, &words));
    EXPECT_EQ(lines.size(), words) << "one encoded-word per line";
  }
}

TEST(HeaderFoldingTest, JapaneseLineUpTo998OctetsKeepsOneEncodedWord) {
  bool sawSingle = false;
  bool sawSplit = false;
  for (size_t n = 340; n <= 380; ++n) {
    const std::string text = Kanji(n);
    const std::string word = jtext::EncodeHeaderText(text, kJapanese);
    const std::string field = FormatHeaderLine("Subject:", text, "", kJapanese);
    ExpectLegalPhysicalLines(field);
    if (std::string("Subject: ").size() + word.size() <= kMaxLineLength) {
      sawSingle = true;
      EXPECT_EQ("Subject: " + word + "\r\n", field) << n << " kanji";
    } else {
      sawSplit = true;
      EXPECT_GT(PhysicalLines(field).size(), 1u) << n << " kanji";
      EXPECT_EQ(CharsOf(text), CharsOfEncodedWords(field, nullptr)) << n << " kanji";
    }
  }
  EXPECT_TRUE(sawSingle);
  EXPECT_TRUE(sawSplit);

  // The address counts toward the 998 octets too.
  const std::string text = Kanji(300);
  const std::string word = jtext::EncodeHeaderText(text, kJapanese);
  const size_t room = kMaxLineLength - std::string("To: ").size() - word.size() - 3;
  const std::string fits(room, 'm');
  EXPECT_EQ("To: " + word + " <" + fits + ">\r\n", FormatHeaderLine("To:", text, fits, kJapanese));
  const std::string over(room + 1, 'm');
  const std::string field = FormatHeaderLine("To:", text, over, kJapanese);
  ExpectLegalPhysicalLines(field);
  EXPECT_GT(PhysicalLines(field).size(), 1u);
  EXPECT_TRUE(field.ends_with("?= <" + over + ">\r\n"));
  EXPECT_EQ(CharsOf(text), CharsOfEncodedWords(field, nullptr));
}

TEST(HeaderFoldingTest, AsciiLineOf998OctetsIsNotFolded) {
  const std::string label = "Subject: ";
  std::string text;
  while (label.size() + text.size() < kMaxLineLength) text += text.size() % 10 == 9 ? ' ' : 'w';
  EXPECT_EQ(label + text + "\r\n", FormatHeaderLine("Subject:", text, "", kPlain));
  const std::string field = FormatHeaderLine("Subject:", text + "w", "", kPlain);
  ExpectLegalPhysicalLines(field);
  EXPECT_EQ(2u, PhysicalLines(field).size());
  EXPECT_EQ(label + text + "w\r\n", Unfold(field));
}

TEST(HeaderFoldingTest, ShortJapaneseNameWithALongAddressStaysWithinTheLimit) {
  const std::string address = std::string(954, 'a') + "@x";
  for (const char* label : {"From:", "To:"}) {
    ExpectLegalPhysicalLines(FormatHeaderLine(label, "\"" + Kanji(2) + "\"", address, kJapanese));
  }
}

TEST(HeaderFoldingTest, LongJapaneseNameKeepsItsAddressAtTheEnd) {
  const std::string name = "\"" + Kanji(500) + "\"";
  const std::string field = FormatHeaderLine("From:", name, "a@example.com", kJapanese);
  ExpectLegalPhysicalLines(field);
  EXPECT_TRUE(field.ends_with("?= <a@example.com>\r\n"))
      << vtl::test::Escape(field.substr(field.size() - 40));
  EXPECT_EQ(CharsOf(name), CharsOfEncodedWords(field, nullptr));
}

TEST(FlattenLineBreaksTest, EachRunOfLineBreaksBecomesOneSpace) {
  EXPECT_EQ("a b", FlattenLineBreaks("a\r\n\r\nb"));
  EXPECT_EQ("a b", FlattenLineBreaks("a\rb"));
  EXPECT_EQ("a b", FlattenLineBreaks("a\nb"));
  EXPECT_EQ("a b", FlattenLineBreaks("a\n\r\r\n\nb"));
  EXPECT_EQ(" x ", FlattenLineBreaks("\r\nx\n"));
  EXPECT_EQ("a  b", FlattenLineBreaks("a \rb"));
  EXPECT_EQ("no breaks", FlattenLineBreaks("no breaks"));
}

class ComposeHeaderBlockTest : public testing::Test {
 protected:
  static constexpr std::string_view kDate = "Thu, 09 Mar 2023 01:42:58 +0900";
  static constexpr std::string_view kId = "<202303090142580123.4242.7@host>";

  std::vector<std::string> Fields(const MessageTexts& texts, TextMode mode) {
    const std::string block = ComposeHeaderBlock(texts, mode, kDate, kId);
    EXPECT_TRUE(block.ends_with("\r\n\r\n"));
    std::vector<std::string> lines = PhysicalLines(block);
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ("", lines.back());
      lines.pop_back();
    }
    return lines;
  }

  static std::vector<std::string> Names(const std::vector<std::string>& lines) {
    std::vector<std::string> names;
    for (const std::string& line : lines) names.push_back(line.substr(0, line.find(' ')));
    return names;
  }
};

TEST_F(ComposeHeaderBlockTest, PlainBlockHasSevenFieldsInOrder) {
  const MessageTexts texts{"a@example.com", "Alice", "b@example.com", "Bob", "Hello"};
  EXPECT_BYTES_EQ(
      "From: \"Alice\" <a@example.com>\r\n"
      "To: \"Bob\" <b@example.com>\r\n"
      "Subject: Hello\r\n"
      "Date: Thu, 09 Mar 2023 01:42:58 +0900\r\n"
      "Message-ID: <202303090142580123.4242.7@host>\r\n"
      "MIME-Version: 1.0\r\n"
      "X-Mailer: Vantrel\r\n"
      "\r\n",
      ComposeHeaderBlock(texts, kPlain, kDate, kId));
}

TEST_F(ComposeHeaderBlockTest, JapaneseBlockLabelsTheCharset) {
  const std::string subject = Kanji(3);
  const std::string toName = Kanji(2);
  const MessageTexts texts{"a@example.com", "Alice", "b@example.com", toName, subject};
  const std::vector<std::string> fields = Fields(texts, kJapanese);
  const std::vector<std::string> expectedNames = {"From:",
                                                  "To:",
                                                  "Subject:",
                                                  "Date:",
                                                  "Message-ID:",
                                                  "MIME-Version:",
                                                  "Content-Transfer-Encoding:",
                                                  "Content-Type:",
                                                  "X-Mailer:"};
  ASSERT_EQ(expectedNames, Names(fields));
  EXPECT_EQ("MIME-Version: 1.0", fields[5]);
  EXPECT_EQ("Content-Transfer-Encoding: 7bit", fields[6]);
  EXPECT_EQ("Content-Type: text/plain; charset=iso-2022-jp", fields[7]);
  EXPECT_EQ("X-Mailer: Vantrel", fields[8]);
  EXPECT_EQ("Subject: " + jtext::EncodeHeaderText(subject, kJapanese), fields[2]);
}

TEST_F(ComposeHeaderBlockTest, ShiftJisWithoutJapaneseLocaleHasNoLabels) {
  const MessageTexts texts{"a@example.com", "Alice", "b@example.com", "Bob", "Hi"};
  const std::vector<std::string> fields = Fields(texts, jtext::ShiftJisMode(false));
  EXPECT_EQ((std::vector<std::string>{
                "From:", "To:", "Subject:", "Date:", "Message-ID:", "MIME-Version:", "X-Mailer:"}),
            Names(fields));
}

TEST_F(ComposeHeaderBlockTest, PlainNamesAreQuotedStrings) {
  // RFC 5322 3.2.4: '"' and '\\' inside a quoted-string are escaped.
  const MessageTexts texts{"a@example.com", "Bob \"The Builder\" \\o/", "b@example.com", "x", "s"};
  EXPECT_EQ("From: \"Bob \\\"The Builder\\\" \\\\o/\" <a@example.com>",
            Fields(texts, kPlain).at(0));
  // An encoded name is no quoted-string (RFC 2047 5(3)): the words hold the
  // name as it is, with no quotes around it and nothing escaped.
  const std::string name = Kanji(1) + "\"";
  const MessageTexts japanese{"a@example.com", name, "b@example.com", "x", "s"};
  const std::string from = Fields(japanese, kJapanese).at(0);
  const size_t start = from.find("?B?") + 3;
  const auto decoded = Base64Decode(from.substr(start, from.find("?=") - start));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_BYTES_EQ(jtext::ToIso2022Jp(name, kJapanese).bytes, *decoded);
}

TEST_F(ComposeHeaderBlockTest, FoldingNeverEndsAQuotedNameEarly) {
  // A name with a quote near the fold, so that the break may fall between
  // the escaping backslash and the quote: the address written after the
  // quote must stay inside the display name, wherever the break falls.
  for (size_t length = 985; length <= 1000; ++length) {
    const std::string name = std::string(length, 'A') + "\" <evil@example.org>, \"";
    const MessageTexts texts{"a@example.com", name, "b@example.com", "Bob", "s"};
    const std::string block = ComposeHeaderBlock(texts, kPlain, kDate, kId);
    const std::string from = Unfold(block.substr(0, block.find("\r\nTo:")));
    // Reads the quoted-string as a mail reader does.
    size_t i = from.find('"') + 1;
    while (i < from.size() && from[i] != '"') i += from[i] == '\\' ? 2 : 1;
    EXPECT_EQ(" <a@example.com>", from.substr(i + 1)) << "name length " << length;
  }
}

TEST_F(ComposeHeaderBlockTest, ShiftJisTrailBytesAreNotEscaped) {
  // Code page 932 without a Japanese locale: names go out as they are, and
  // the 0x5C that ends "hyou" (0x95 0x5C) is part of that character.
  const MessageTexts texts{"a@example.com", "\x95\x5C\\", "b@example.com", "Bob", "s"};
  EXPECT_EQ("From: \"\x95\x5C\\\\\" <a@example.com>",
            Fields(texts, jtext::ShiftJisMode(false)).at(0));
}

TEST_F(ComposeHeaderBlockTest, ALeadByteBeforeAQuoteDoesNotHideIt) {
  // 0x81 can only pair with a byte from 0x40 up; before '"' it stands alone,
  // and the quote is escaped, so the name cannot close the quoted-string.
  const MessageTexts texts{"a@example.com", "A\x81\" <evil@example.com>, \"B", "b@example.com",
                           "Bob", "s"};
  EXPECT_EQ("From: \"A\x81\\\" <evil@example.com>, \\\"B\" <a@example.com>",
            Fields(texts, jtext::ShiftJisMode(false)).at(0));
}

TEST_F(ComposeHeaderBlockTest, FoldingNeverSplitsADoubleByteCharacterEndingIn5C) {
  // 600 times "hyou" (0x95 0x5C) with no white space: the folds are
  // inserted, and each must fall between characters, not after a 0x95
  // taken for the start of an escaped pair.
  std::string hyou;
  for (int i = 0; i < 600; ++i) hyou += "\x95\x5C";
  const MessageTexts texts{"a@example.com", hyou, "b@example.com", "Bob", hyou};
  const std::string block = ComposeHeaderBlock(texts, jtext::ShiftJisMode(false), kDate, kId);
  size_t lines = 0;
  for (size_t pos = 0; pos < block.size(); ++lines) {
    const size_t end = block.find("\r\n", pos);
    ASSERT_NE(std::string::npos, end);
    const std::string_view line(block.data() + pos, end - pos);
    size_t i = 0;
    while (i < line.size()) i += jtext::IsLeadByte(static_cast<uint8_t>(line[i])) ? 2 : 1;
    EXPECT_EQ(line.size(), i) << "line " << lines << " ends inside a character";
    pos = end + 2;
  }
  EXPECT_GT(lines, 6u);
}

TEST_F(ComposeHeaderBlockTest, LineBreaksInNamesAndSubjectStartNoField) {
  const std::string fromName = "Eve\r\nBcc: victim@example.com";
  const std::string toName = "Bob\nX-Injected: 1\r";
  const std::string subject = "Hi\r\n\r\nBody text" + Kanji(1) + "\rX-Also: 2";
  const MessageTexts texts{"a@example.com", fromName, "b@example.com", toName, subject};
  for (const TextMode mode : {kPlain, kJapanese}) {
    const std::vector<std::string> fields = Fields(texts, mode);
    EXPECT_EQ(mode.japanese ? 9u : 7u, fields.size());
    for (const std::string& line : fields) {
      EXPECT_FALSE(line.starts_with("Bcc:") || line.starts_with("X-Injected:") ||
                   line.starts_with("X-Also:") || line.starts_with("Body"))
          << vtl::test::Escape(line);
    }
  }
}

TEST(WriteBodyLinesTest, BlankLinesAreKept) {
  EXPECT_EQ((std::vector<std::string>{"A\r\n", "\r\n", "B\r\n"}), BodyLines("A\r\n\r\nB", kPlain));
  EXPECT_EQ((std::vector<std::string>{"\r\n", "\r\n", "x\r\n"}), BodyLines("\n\nx", kPlain));
}

TEST(WriteBodyLinesTest, CrLfCrAndLfEachEndOneLine) {
  const struct {
    const char* body;
    std::vector<std::string> lines;
  } cases[] = {
      {"A\r\nB", {"A\r\n", "B\r\n"}},
      {"A\rB", {"A\r\n", "B\r\n"}},
      {"A\nB", {"A\r\n", "B\r\n"}},
      {"A\n\rB", {"A\r\n", "\r\n", "B\r\n"}},
      {"A\r\r\nB", {"A\r\n", "\r\n", "B\r\n"}},
      {"\r\n", {"\r\n"}},
      {"A\r\n", {"A\r\n"}},
      {"A\r", {"A\r\n"}},
      {"A\n\n", {"A\r\n", "\r\n"}},
  };
  for (const TextMode mode : {kPlain, kJapanese}) {
    for (const auto& c : cases) {
      EXPECT_EQ(c.lines, BodyLines(c.body, mode)) << vtl::test::Escape(c.body);
    }
  }
}

TEST(WriteBodyLinesTest, LeadingDotIsDoubled) {
  for (const TextMode mode : {kPlain, kJapanese}) {
    EXPECT_EQ((std::vector<std::string>{"..\r\n"}), BodyLines(".", mode));
    EXPECT_EQ((std::vector<std::string>{"..x\r\n"}), BodyLines(".x", mode));
    EXPECT_EQ((std::vector<std::string>{"...\r\n"}), BodyLines("..", mode));
    EXPECT_EQ((std::vector<std::string>{"x.\r\n", " .\r\n"}), BodyLines("x.\n .", mode));
  }
  EXPECT_EQ((std::vector<std::string>{".." + std::string(kToJis) + "4A" + std::string(kToAscii) +
                                      "\r\n"}),
            BodyLines("." + Kanji(1), kJapanese));
}

TEST(WriteBodyLinesTest, SmuggledEndOfDataNeverReachesTheWire) {
  const char* bodies[] = {"a\n.\nb",   "a\r\n.\r\nb", "a\n.\r\nb", "a\r.\rb",   ".\r\n",
                          "\r\n.\r\n", ".",           "a\r\n.\r",  "a\n.\n.\n", "\n.\r\n.\n"};
  for (const TextMode mode : {kPlain, kJapanese}) {
    for (const char* body : bodies) {
      for (const std::string& line : BodyLines(body, mode)) {
        EXPECT_NE(".\r\n", line) << vtl::test::Escape(body);
        EXPECT_EQ(line.size() - 2, line.find_first_of("\r\n")) << vtl::test::Escape(body);
      }
    }
  }
}

TEST(WriteBodyLinesTest, LongLinesBreakWithin998OctetsAndRejoin) {
  std::vector<std::string> bodies;
  for (const size_t n : {997, 998, 999, 1996, 1997, 5000}) bodies.emplace_back(n, 'a');
  bodies.push_back("." + std::string(997, 'a'));
  bodies.push_back(std::string(2500, '.'));
  bodies.push_back(std::string(998, 'a') + "." + std::string(1500, 'b'));
  bodies.push_back(std::string(997, 'a') + "." + std::string(1500, 'b'));
  for (const TextMode mode : {kPlain, kJapanese}) {
    for (const std::string& body : bodies) {
      SCOPED_TRACE(testing::Message() << "japanese " << mode.japanese << ", " << body.size()
                                      << " octets starting " << body.substr(0, 3));
      const std::vector<std::string> wire = BodyLines(body, mode);
      EXPECT_EQ(body, Joined(Unstuffed(wire)));
    }
  }
  EXPECT_EQ(1u, BodyLines(std::string(998, 'a'), kPlain).size());
  EXPECT_EQ(2u, BodyLines(std::string(999, 'a'), kPlain).size());
  EXPECT_EQ(2u, BodyLines("." + std::string(997, 'a'), kPlain).size());
}

TEST(WriteBodyLinesTest, LongJapaneseLineReopensJisAfterEachBreak) {
  const std::string lines[] = {
      Kanji(1000),
      "." + Kanji(600) + std::string(300, 'x') + Kanji(700),
      std::string(995, 'a') + Kanji(10),
      std::string(500, 'a') + "\xB6\xDE\xB6\xDE" + Kanji(800) + "\x82",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(testing::Message() << line.size() << " octets starting " << line.substr(0, 3));
    const std::vector<std::string> pieces = Unstuffed(BodyLines(line, kJapanese));
    EXPECT_GE(pieces.size(), 2u);
    std::vector<uint32_t> chars;
    for (size_t i = 0; i < pieces.size(); ++i) {
      const Iso2022Reading r = ReadIso2022Jp(pieces[i]);
      EXPECT_EQ("", r.error) << "piece " << i;
      // A full line leaves no room for one more character and its escapes.
      if (i + 1 < pieces.size()) {
        EXPECT_GE(pieces[i].size(), kMaxLineLength - 8) << "piece " << i;
      }
      chars.insert(chars.end(), r.chars.begin(), r.chars.end());
    }
    EXPECT_EQ(CharsOf(line), chars);
  }
}

// The characters of a converted line's wire lines, each of which must be
// a well-formed ISO-2022-JP text of its own.
std::vector<uint32_t> WireChars(const std::vector<std::string>& wire) {
  std::vector<uint32_t> chars;
  for (const std::string& piece : Unstuffed(wire)) {
    const Iso2022Reading r = ReadIso2022Jp(piece);
    EXPECT_EQ("", r.error);
    chars.insert(chars.end(), r.chars.begin(), r.chars.end());
  }
  return chars;
}

// Every alignment of the kanji against the 998-octet limit: a break may come
// one octet early or late depending on what precedes the first escape.
TEST(WriteBodyLinesTest, JapaneseBreaksFillButNeverPassTheLimit) {
  for (const std::string_view start : {"", ".", ".."}) {
    for (size_t ascii = 0; ascii < 6; ++ascii) {
      const std::string line = std::string(start) + std::string(ascii, 'a') + Kanji(1200);
      SCOPED_TRACE(testing::Message() << "'" << start << "' and " << ascii << " ASCII");
      const std::vector<std::string> wire = BodyLines(line, kJapanese);
      ASSERT_GE(wire.size(), 3u);
      for (size_t i = 0; i + 1 < wire.size(); ++i) {
        EXPECT_LE(wire[i].size(), kMaxLineLength + 2) << "line " << i;
        // One more kanji would take two octets.
        EXPECT_GE(wire[i].size(), kMaxLineLength + 2 - 1) << "line " << i;
      }
      EXPECT_EQ(CharsOf(line), WireChars(wire));
    }
  }
}

// Lines whose conversion ends just below, at and just above the limit, with
// and without a leading dot: whole when they fit, cut within it when not.
TEST(WriteBodyLinesTest, JapaneseLinesAroundTheLimitAreWholeOrCutWithinIt) {
  for (const std::string_view start : {"", "."}) {
    for (size_t target = kMaxLineLength - 3; target <= kMaxLineLength + 2; ++target) {
      // start, ASCII, ESC $ B, one kanji, ESC ( B
      const size_t ascii = target - start.size() - 8;
      const std::string line = std::string(start) + std::string(ascii, 'a') + Kanji(1);
      SCOPED_TRACE(testing::Message() << "'" << start << "', " << target << " octets converted");
      const std::vector<std::string> wire = BodyLines(line, kJapanese);
      const size_t stuffed = target + start.size();
      EXPECT_EQ(stuffed <= kMaxLineLength ? 1u : 2u, wire.size());
      EXPECT_EQ(CharsOf(line), WireChars(wire));
    }
  }
}

TEST(WriteBodyLinesTest, RandomJapaneseLinesStayLegal) {
  std::mt19937 rng(5321);
  auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int n = 0; n < 60; ++n) {
    std::string line;
    const int units = in(300, 1800);
    for (int u = 0; u < units; ++u) {
      switch (in(0, 5)) {
        case 0:
          line.push_back(static_cast<char>(in(0x20, 0x7E)));
          break;
        case 1:
          line.push_back('.');
          break;
        case 2:
          line.push_back(static_cast<char>(in(0xA1, 0xDF)));
          break;
        default:
          line += Kanji(static_cast<size_t>(in(1, 4)));
          break;
      }
    }
    SCOPED_TRACE(vtl::test::Escape(line.substr(0, 40)));
    std::vector<uint32_t> chars;
    for (const std::string& piece : Unstuffed(BodyLines(line, kJapanese))) {
      const Iso2022Reading r = ReadIso2022Jp(piece);
      ASSERT_EQ("", r.error);
      chars.insert(chars.end(), r.chars.begin(), r.chars.end());
    }
    ASSERT_EQ(CharsOf(line), chars);
  }
}

TEST(WriteBodyLinesTest, LongUtf8LineIsNotBrokenInsideACharacter) {
  const std::string_view chars[] = {"\xC3\xA9", "\xE3\x81\x82", "\xF0\x9F\x98\x80"};
  for (const std::string_view c : chars) {
    for (size_t lead = 0; lead < 4; ++lead) {
      std::string line(lead, 'a');
      while (line.size() < 3000) line += c;
      const std::vector<std::string> pieces = Unstuffed(BodyLines(line, kPlain));
      EXPECT_GE(pieces.size(), 3u);
      for (const std::string& piece : pieces) {
        EXPECT_TRUE(IsWellFormedUtf8(piece)) << vtl::test::Escape(piece.substr(piece.size() - 8));
      }
      EXPECT_EQ(line, Joined(pieces));
    }
  }
}

TEST(WriteBodyLinesTest, EveryPrefixOfAJapaneseLineConvertsCleanly) {
  // Characters one by one, so that a cut inside one is known.
  const std::string units[] = {"R",    "e",        ":",        " ",        "\x8A\xBF", "\xB6",
                               "\xDE", "\x82\xA2", "x",        "\xF0\x40", "\t",       "\x8E\x9A",
                               "\x80", "\x88\x9F", "\x81\x40", "z"};
  std::string line;
  std::vector<bool> boundary = {true};
  for (const std::string& u : units) {
    line += u;
    boundary.resize(line.size(), false);
    boundary.push_back(true);
  }
  const std::vector<uint32_t> all = CharsOf(line);
  ASSERT_EQ(std::size(units), all.size());
  size_t complete = 0;
  for (size_t k = 0; k <= line.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "prefix of " << k << " octets");
    const std::string prefix = line.substr(0, k);
    const std::string converted = jtext::ToIso2022Jp(prefix, kJapanese).bytes;
    const Iso2022Reading r = ReadIso2022Jp(converted);
    ASSERT_EQ("", r.error) << vtl::test::Escape(converted);
    if (boundary[k]) {
      if (k > 0) ++complete;
      EXPECT_EQ(
          std::vector<uint32_t>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(complete)),
          r.chars);
    } else {
      ASSERT_EQ(complete + 1, r.chars.size());
      EXPECT_EQ(0x10000u | jtext::kGetaMark, r.chars.back()) << "a cut character is a GETA MARK";
    }
    if (k > 0) {
      EXPECT_EQ((std::vector<std::string>{converted + "\r\n"}), BodyLines(prefix, kJapanese));
    }
  }
}

TEST(WriteBodyLinesTest, RawEscapeInJapaneseBodyCannotSwitchTheCharacterSet) {
  for (const std::string& body :
       {std::string("\x1b$B"), std::string("\x1b$B$\""), Kanji(1) + "\x1b(J"}) {
    for (const std::string& piece : Unstuffed(BodyLines(body, kJapanese))) {
      EXPECT_EQ("", ReadIso2022Jp(piece).error) << vtl::test::Escape(piece);
    }
  }
}

TEST(WriteBodyLinesTest, LongShiftJisLineOutsideJapaneseModeKeepsItsCharacters) {
  // Code page 932 without a Japanese locale: the bytes go out unchanged,
  // and a break still falls between characters. A leading 'x' puts every
  // character boundary on an odd offset.
  const std::string line = "x" + Kanji(1500);
  const std::vector<std::string> pieces = BodyLines(line, jtext::ShiftJisMode(false));
  ASSERT_GT(pieces.size(), 1u);
  std::string joined;
  for (const std::string& piece : pieces) {
    EXPECT_LE(piece.size(), kMaxLineLength + 2);
    EXPECT_EQ(1u, (joined.size() + piece.size() - 2) % 2) << "a character was split";
    joined += piece.substr(0, piece.size() - 2);
  }
  EXPECT_EQ(line, joined);
}

TEST(Utf8MailTest, EncodedLinesAndWordsAreShortAndCarryTheTextWhole) {
  // Quoted-printable, with "=XX" and white space at every column around the
  // limit: lines of at most 76, and the text back whole.
  for (size_t lead = 66; lead < 80; ++lead) {
    const std::string line = std::string(lead, 'a') + "\xC3\xA9=\xC3\xA9 x \t";
    const EncodedBody body = EncodeUtf8Body(line + "\n" + line);
    ASSERT_EQ(TransferEncoding::QuotedPrintable, body.encoding);
    std::string decoded;
    for (size_t pos = 0; pos < body.lines.size();) {
      const size_t end = body.lines.find("\r\n", pos);
      std::string_view wire(body.lines.data() + pos, end - pos);
      EXPECT_LE(wire.size(), 76u) << lead;
      EXPECT_TRUE(wire.empty() || (wire.back() != ' ' && wire.back() != '\t')) << lead;
      const bool soft = !wire.empty() && wire.back() == '=';
      if (soft) wire.remove_suffix(1);
      for (size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] != '=') {
          decoded += wire[i];
          continue;
        }
        decoded += static_cast<char>(std::stoi(std::string(wire.substr(i + 1, 2)), nullptr, 16));
        i += 2;
      }
      if (!soft) decoded += "\r\n";
      pos = end + 2;
    }
    EXPECT_EQ(line + "\r\n" + line + "\r\n", decoded) << lead;
  }
  const auto repeat = [](std::string_view s, size_t n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
  };
  // Japanese text is shorter in base64: lines of 76.
  const EncodedBody kanji = EncodeUtf8Body(repeat("\xE6\xBC\xA2", 100));
  EXPECT_EQ(TransferEncoding::Base64, kanji.encoding);
  EXPECT_EQ(76u, kanji.lines.find("\r\n"));
  std::string unbroken = kanji.lines;
  std::erase(unbroken, '\r');
  std::erase(unbroken, '\n');
  EXPECT_EQ(repeat("\xE6\xBC\xA2", 100) + "\r\n", Base64Decode(unbroken));
  // Encoded-words cut only between characters, at every alignment.
  for (size_t ascii = 0; ascii < 4; ++ascii) {
    const std::string text = std::string(ascii, 'a') + repeat("\xF0\x9F\x98\x80", 30);
    std::string joined;
    for (const std::string& word : jtext::EncodeUtf8Words(text, kMaxEncodedWord)) {
      EXPECT_LE(word.size(), kMaxEncodedWord);
      const std::string piece = Base64Decode(word.substr(10, word.size() - 12)).value_or("");
      EXPECT_NE(0x80, static_cast<uint8_t>(piece[0]) & 0xC0) << "starts inside a character";
      joined += piece;
    }
    EXPECT_EQ(text, joined);
  }
}

// Records what a sink is given, where it lay, and whether it came as one
// line or as a piece of several.
class PieceSink : public LineSink {
 public:
  bool Line(std::string_view line) override {
    pieces.push_back({false, std::string(line), line.data()});
    bytes += line;
    return true;
  }
  bool Lines(std::string_view lines) override {
    pieces.push_back({true, std::string(lines), lines.data()});
    bytes += lines;
    return true;
  }
  struct Piece {
    bool whole;  // given to Lines()
    std::string text;
    const char* at;
  };
  std::vector<Piece> pieces;
  std::string bytes;
};

TEST(WriteBodyLinesTest, LinesThatNeedNothingGoToTheSinkWholeFromTheBody) {
  const std::string clean = "a\r\nb\r\n\r\n" + std::string(998, 'c') + "\r\nd.\r\n";
  PieceSink sink;
  ASSERT_TRUE(WriteBodyLines(clean, kPlain, sink));
  ASSERT_EQ(1u, sink.pieces.size());
  EXPECT_TRUE(sink.pieces[0].whole);
  EXPECT_EQ(clean.data(), sink.pieces[0].at);
  EXPECT_EQ(clean, sink.pieces[0].text);

  // A dot to add, a bare LF or CR, a line to break and a last line without
  // its break each end a run and go as lines of their own.
  const std::string mixed = "a\r\n.b\r\nc\r\nd\ne\r\n" + std::string(999, 'x') + "\r\nf\rg\r\nh";
  PieceSink pieces;
  ASSERT_TRUE(WriteBodyLines(mixed, kPlain, pieces));
  const std::vector<std::pair<bool, std::string>> expected = {
      {true, "a\r\n"},  {false, "..b\r\n"}, {true, "c\r\n"},
      {false, "d\r\n"}, {true, "e\r\n"},    {false, std::string(998, 'x') + "\r\n"},
      {false, "x\r\n"}, {false, "f\r\n"},   {true, "g\r\n"},
      {false, "h\r\n"}};
  std::vector<std::pair<bool, std::string>> got;
  for (const auto& p : pieces.pieces) got.emplace_back(p.whole, p.text);
  EXPECT_EQ(expected, got);

  // A long body goes in pieces of about 256 KiB, one after another.
  std::string longBody;
  while (longBody.size() < (1u << 20)) longBody += std::string(60, 'l') + "\r\n";
  PieceSink longPieces;
  ASSERT_TRUE(WriteBodyLines(longBody, kPlain, longPieces));
  EXPECT_EQ(longBody, longPieces.bytes);
  EXPECT_EQ(4u, longPieces.pieces.size());
  const char* next = longBody.data();
  for (const auto& p : longPieces.pieces) {
    EXPECT_TRUE(p.whole);
    EXPECT_EQ(next, p.at);
    EXPECT_LE(p.text.size(), 256u * 1024 + 62);
    next += p.text.size();
  }

  // Converted text is always given line by line.
  PieceSink japanese;
  ASSERT_TRUE(WriteBodyLines(clean, kJapanese, japanese));
  for (const auto& p : japanese.pieces) EXPECT_FALSE(p.whole);
}

TEST(WriteBodyLinesTest, PiecesGiveTheSameBytesAndSizeAsLines) {
  // Bodies of short and long lines, dots, and every kind of line break.
  std::mt19937 random(5321);
  const char alphabet[] = {'a', 'b', ' ', '.', '\r', '\n'};
  for (int round = 0; round < 300; ++round) {
    std::string body;
    const size_t length = random() % 3000;
    while (body.size() < length) {
      if (random() % 40 == 0)
        body.append(990 + random() % 20, 'z');
      else
        body.push_back(alphabet[random() % std::size(alphabet)]);
    }
    CollectingSink lines;
    PieceSink pieces;
    ASSERT_TRUE(WriteBodyLines(body, kPlain, lines));
    ASSERT_TRUE(WriteBodyLines(body, kPlain, pieces));
    ASSERT_EQ(Joined(lines.lines), pieces.bytes) << vtl::test::Escape(body);
    SizeCounter counted;
    ASSERT_TRUE(WriteBodyLines(body, kPlain, counted));
    size_t stuffed = 0;
    for (const std::string& line : lines.lines) stuffed += line.starts_with('.') ? 1 : 0;
    EXPECT_EQ(pieces.bytes.size() - stuffed, counted.size()) << vtl::test::Escape(body);
  }
}

TEST(WriteBodyLinesTest, SinkSayingStopEndsTheWalk) {
  const struct {
    std::string body;
    TextMode mode;
    size_t accept;
  } cases[] = {
      {"1\n2\n3\n4", kPlain, 2},           {"1\n2\n3\n4", kJapanese, 1},
      {std::string(3000, 'a'), kPlain, 1}, {std::string(3000, 'a'), kPlain, 2},
      {Kanji(1500), kJapanese, 1},         {Kanji(1500) + "\nmore", kJapanese, 2},
  };
  for (const auto& c : cases) {
    CollectingSink sink(c.accept);
    EXPECT_FALSE(WriteBodyLines(c.body, c.mode, sink)) << c.body.size() << " octets";
    EXPECT_EQ(c.accept, sink.lines.size()) << c.body.size() << " octets";
  }
  CollectingSink all;
  EXPECT_TRUE(WriteBodyLines("1\n2\n3\n4", kPlain, all));
  EXPECT_EQ(4u, all.lines.size());
}

}  // namespace
}  // namespace vtl::mail
