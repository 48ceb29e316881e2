#include "mail/mime_parts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "mail/message.h"
#include "support/hex.h"
#include "support/iso2022_reader.h"

namespace vtl::mail {
namespace {

std::string Bytes(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
  return bytes;
}

// Every line but the last 76 characters, the last at most that, each
// ended by CR LF, and together the bytes again (read by the tests' own
// decoder).
void ExpectBase64LinesOf(std::string_view bytes, std::string_view lines) {
  std::string text;
  for (size_t pos = 0; pos < lines.size();) {
    const size_t end = lines.find("\r\n", pos);
    ASSERT_NE(std::string_view::npos, end);
    const bool last = end + 2 == lines.size();
    EXPECT_TRUE(last ? end - pos <= 76 && end > pos : end - pos == 76) << "at " << pos;
    text.append(lines.substr(pos, end - pos));
    pos = end + 2;
  }
  EXPECT_EQ(std::optional<std::string>(bytes), test::Base64Decode(text))
      << bytes.size() << " bytes";
}

TEST(Base64LinesTest, AgreesWithWholeEncodingInAnyChunks) {
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 200; ++n) sizes.push_back(n);
  for (size_t n : {4095, 57 * 1000, 100'003}) sizes.push_back(n);
  Base64Lines encoder;  // one for all: Finish() leaves it ready for the next
  for (size_t chunk : {1, 3, 57, 4096}) {
    for (size_t n : sizes) {
      const std::string bytes = Bytes(n);
      std::string lines;
      for (size_t pos = 0; pos < n; pos += chunk) {
        encoder.Feed(std::string_view(bytes).substr(pos, chunk), lines);
        // Whole lines only, as soon as they are complete.
        const size_t fed = std::min(n, pos + chunk);
        ASSERT_EQ(fed / 57 * 78, lines.size()) << n << " bytes, " << chunk << " a chunk";
      }
      encoder.Finish(lines);
      ExpectBase64LinesOf(bytes, lines);
      EXPECT_EQ(lines.size(), Base64LinesSize(n)) << n << " bytes";
    }
  }
}

TEST(Base64LinesTest, SizeOfLargeFiles) {
  // 4 characters for each 3 bytes or part, and a CR LF for each 57 or part.
  for (uint64_t n : {uint64_t{100} << 20, (uint64_t{100} << 20) + 1, uint64_t{1} << 40})
    EXPECT_EQ((n + 2) / 3 * 4 + (n + 56) / 57 * 2, Base64LinesSize(n)) << n;
}

TEST(MediaTypeOfTest, ByTheLastExtensionInAnyCase) {
  const struct {
    std::string_view name, type;
  } cases[] = {
      {"A.PDF", "application/pdf"},
      {"index.Htm", "text/html"},
      {"p.JPG", "image/jpeg"},
      {"backup.2024.zip", "application/zip"},
      {"\u8868.xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"a.tar.gz", "application/octet-stream"},
      {"pdf", "application/octet-stream"},
      {".pdf", "application/octet-stream"},
      {"a.pdf.", "application/octet-stream"},
      {"a.pdfx", "application/octet-stream"},
      {"", "application/octet-stream"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.type, MediaTypeOf(c.name)) << c.name;
}

// A reader of the header written apart from the writer: the unfolded
// fields, their parameters, and the names RFC 2231 and RFC 2047 make of them.
struct Parameter {
  std::string value;
  bool quoted = false;
};
using Parameters = std::map<std::string, Parameter>;

Parameters ParametersOf(std::string_view header, std::string_view label) {
  const size_t start = header.find(label);
  if (start == std::string_view::npos) return {};
  std::string field;
  for (size_t i = start + label.size(); i < header.size(); ++i) {
    if (header.substr(i, 2) == "\r\n") {
      if (i + 2 >= header.size() || header[i + 2] != ' ') break;
      ++i;  // RFC 5322 2.2.3: unfolding takes out the CR LF
      continue;
    }
    field.push_back(header[i]);
  }
  Parameters parameters;
  size_t i = field.find(';');
  while (i != std::string::npos && i < field.size()) {
    while (i < field.size() && (field[i] == ';' || field[i] == ' ')) ++i;
    const size_t equals = field.find('=', i);
    if (equals == std::string::npos) break;
    Parameter& p = parameters[field.substr(i, equals - i)];
    i = equals + 1;
    p.quoted = i < field.size() && field[i] == '"';
    if (!p.quoted) {
      const size_t end = field.find_first_of("; ", i);
      p.value = field.substr(i, end - i);
      i = end;
      continue;
    }
    for (++i; i < field.size() && field[i] != '"'; ++i)
      p.value.push_back(field[i] == '\\' ? field[++i] : field[i]);
    ++i;
  }
  return parameters;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      EXPECT_EQ(std::string_view::npos, std::string_view("*'()<>@,;:\\\"/[]?= ").find(text[i]))
          << "not an attribute-char: " << text;
      out.push_back(text[i]);
      continue;
    }
    const std::string hex(text.substr(i + 1, 2));
    EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
    out.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
    i += 2;
  }
  return out;
}

// Whether each section or word holds whole characters: a reader may decode
// each on its own.
bool IsWholeUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size(); i += jtext::NextUtf8Char(bytes, i).length)
    if (jtext::NextUtf8Char(bytes, i).code == kBadSequence) return false;
  return true;
}

// RFC 2231's value of `attribute`: whole, or from its sections in order.
std::optional<std::string> Rfc2231Value(const Parameters& parameters,
                                        const std::string& attribute) {
  if (const auto it = parameters.find(attribute); it != parameters.end()) return it->second.value;
  if (const auto it = parameters.find(attribute + "*"); it != parameters.end()) {
    if (!it->second.value.starts_with("UTF-8''")) return std::nullopt;
    return PercentDecoded(std::string_view(it->second.value).substr(7));
  }
  std::optional<std::string> value;
  for (size_t n = 0;; ++n) {
    const std::string section = attribute + "*" + std::to_string(n);
    if (const auto it = parameters.find(section); it != parameters.end()) {
      value = value.value_or("") + it->second.value;
    } else if (const auto ext = parameters.find(section + "*"); ext != parameters.end()) {
      std::string_view text = ext->second.value;
      if (n == 0 && !text.starts_with("UTF-8''")) return std::nullopt;
      const std::string bytes = PercentDecoded(n == 0 ? text.substr(7) : text);
      EXPECT_TRUE(IsWholeUtf8(bytes)) << "a character cut at " << section;
      value = value.value_or("") + bytes;
    } else {
      return value;
    }
  }
}

// A value of UTF-8 encoded-words, each at most 75 characters, with only
// white space between them; or plain text without any.
std::optional<std::string> WordsDecoded(std::string_view value) {
  if (value.find("=?") == std::string_view::npos) return std::string(value);
  std::string out;
  for (size_t pos = value.find_first_not_of(' '); pos != std::string_view::npos;
       pos = value.find_first_not_of(' ', pos)) {
    const size_t end = value.find("?=", pos + 10);
    if (!value.substr(pos).starts_with("=?UTF-8?B?") || end == std::string_view::npos) return {};
    EXPECT_LE(end + 2 - pos, kMaxEncodedWord);
    const auto bytes = test::Base64Decode(value.substr(pos + 10, end - pos - 10));
    if (!bytes) return {};
    EXPECT_TRUE(IsWholeUtf8(*bytes)) << "a character cut in " << value.substr(pos, end + 2 - pos);
    out += *bytes;
    pos = end + 2;
  }
  return out;
}

const std::string kNames[] = {
    "\u8868.pdf",
    "\u30BD\u30FC\u30B9\u4E00\u89A7.csv",
    "\u2460\u8ACB\u6C42\u66F8.xlsx",
    "\U0001F4CE report.pdf",
    [] {
      std::string name;  // 200 characters
      for (int i = 0; i < 49; ++i) name += "\u5831\u544A\u66F8\u3002";
      return name + ".pdf";
    }(),
    "my \"q\" file.txt",
    std::string(196, 'a') + ".txt",
    "a\\b ;=%'*.png",
    "",
};

TEST(FilePartHeaderTest, NamesReadBackWholeFromShortAsciiLines) {
  for (const std::string& name : kNames) {
    SCOPED_TRACE(test::Escape(name));
    const std::string header = FilePartHeader(name);
    ASSERT_TRUE(header.ends_with("\r\nContent-Transfer-Encoding: base64\r\n\r\n"));
    const std::string type(MediaTypeOf(name));
    ASSERT_TRUE(header.starts_with("Content-Type: " + type + ";"));
    std::istringstream lines(header);
    bool first = true;
    for (std::string line; std::getline(lines, line, '\n'); first = false) {
      ASSERT_TRUE(line.ends_with('\r')) << line;
      line.pop_back();
      for (char c : line) ASSERT_TRUE(c >= 0x20 && c < 0x7F) << line;
      // The media type is not folded; a long ASCII name stays whole in `name`.
      const bool wholeAsciiName = jtext::IsAscii(name) && line.starts_with(" name=\"");
      if (first && line.size() > 78) {
        EXPECT_EQ("Content-Type: " + type + ";", line);
      } else {
        EXPECT_LE(line.size(), wholeAsciiName ? kMaxLineLength : 78) << line;
      }
    }
    const Parameters contentType = ParametersOf(header, "Content-Type:");
    const Parameters disposition = ParametersOf(header, "Content-Disposition:");
    EXPECT_EQ(std::optional(name), Rfc2231Value(disposition, "filename"));
    ASSERT_EQ(1u, contentType.count("name"));
    EXPECT_TRUE(contentType.at("name").quoted);
    EXPECT_EQ(std::optional(name), WordsDecoded(contentType.at("name").value));
  }
}

TEST(FilePartHeaderTest, ShortNamesStandOnTheFieldLine) {
  EXPECT_BYTES_EQ(
      "Content-Type: text/plain; name=\"my \\\"q\\\" file.txt\"\r\n"
      "Content-Disposition: attachment; filename=\"my \\\"q\\\" file.txt\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n",
      FilePartHeader("my \"q\" file.txt"));
  EXPECT_BYTES_EQ(
      "Content-Type: application/pdf; name=\"=?UTF-8?B?6KGoLnBkZg==?=\"\r\n"
      "Content-Disposition: attachment; filename*=UTF-8''%E8%A1%A8.pdf\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n",
      FilePartHeader("\u8868.pdf"));
}

#ifdef VTL_PART_NAMES
// The same names read back by Python's email package.
TEST(FilePartHeaderTest, PythonReadsTheNamesBack) {
  const std::string in = testing::TempDir() + "part_names.in", out = in + ".out";
  std::ofstream(in, std::ios::binary) << [] {
    std::string headers;
    for (const std::string& name : kNames) headers += FilePartHeader(name);
    return headers;
  }();
  ASSERT_EQ(0, std::system((VTL_PART_NAMES " < " + in + " > " + out).c_str()));
  std::ifstream read(out);
  for (const std::string& name : kNames) {
    std::string hex, line;
    for (char c : name) {
      hex += "0123456789abcdef"[static_cast<uint8_t>(c) >> 4];
      hex += "0123456789abcdef"[c & 15];
    }
    ASSERT_TRUE(std::getline(read, line));
    EXPECT_EQ(hex + " " + hex, line) << test::Escape(name);
  }
}
#endif

}  // namespace
}  // namespace vtl::mail
