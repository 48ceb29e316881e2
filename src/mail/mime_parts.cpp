#include "mail/mime_parts.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "jtext/jtext.h"
#include "mail/message.h"

namespace vtl::mail {
namespace {

constexpr std::string_view kCrLf = "\r\n";
// A line of 76 characters and its CR LF.
constexpr size_t kLineSize = 78;
// RFC 5322 2.1.1: a line should be at most 78 characters before its CR LF.
constexpr size_t kFoldAt = 78;

// Encodes whole lines, straight into `out`: the string grows once for all
// of them, and each character is written in place.
void AppendLines(std::string_view bytes, std::string& out) {
  const size_t lines = bytes.size() / Base64Lines::kBytesPerLine;
  if (lines == 0) return;
  const size_t start = out.size();
  out.resize(start + lines * kLineSize);
  char* p = out.data() + start;
  for (size_t i = 0; i < lines; ++i) {
    jtext::Base64(bytes.substr(i * Base64Lines::kBytesPerLine, Base64Lines::kBytesPerLine),
                  [&p](char c) { *p++ = c; });
    *p++ = '\r';
    *p++ = '\n';
  }
}

}  // namespace

void Base64Lines::Feed(std::string_view bytes, std::string& out) {
  if (bytes.empty()) return;  // its data() may be null, which memcpy may not take
  if (pendingSize_ > 0) {
    const size_t take = std::min(bytes.size(), kBytesPerLine - pendingSize_);
    std::memcpy(pending_.data() + pendingSize_, bytes.data(), take);
    pendingSize_ += take;
    bytes.remove_prefix(take);
    if (pendingSize_ < kBytesPerLine) return;
    AppendLines({pending_.data(), kBytesPerLine}, out);
    pendingSize_ = 0;
  }
  const size_t whole = bytes.size() - bytes.size() % kBytesPerLine;
  AppendLines(bytes.substr(0, whole), out);
  bytes.remove_prefix(whole);
  std::memcpy(pending_.data(), bytes.data(), bytes.size());
  pendingSize_ = bytes.size();
}

void Base64Lines::Finish(std::string& out) {
  if (pendingSize_ == 0) return;
  std::array<char, kLineSize> line;
  size_t length = 0;
  jtext::Base64({pending_.data(), pendingSize_}, [&](char c) { line[length++] = c; });
  line[length++] = '\r';
  line[length++] = '\n';
  out.append(line.data(), length);
  pendingSize_ = 0;
}

uint64_t Base64LinesSize(uint64_t n) {
  const uint64_t rest = n % Base64Lines::kBytesPerLine;
  return n / Base64Lines::kBytesPerLine * kLineSize + (rest == 0 ? 0 : (rest + 2) / 3 * 4 + 2);
}

std::string_view MediaTypeOf(std::string_view fileName) {
  struct Type {
    std::string_view extension;
    std::string_view type;
  };
  static constexpr Type kTypes[] = {
      {"pdf", "application/pdf"},
      {"txt", "text/plain"},
      {"csv", "text/csv"},
      {"html", "text/html"},
      {"htm", "text/html"},
      {"xml", "application/xml"},
      {"json", "application/json"},
      {"png", "image/png"},
      {"jpeg", "image/jpeg"},
      {"jpg", "image/jpeg"},
      {"gif", "image/gif"},
      {"zip", "application/zip"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
      {"doc", "application/msword"},
      {"xls", "application/vnd.ms-excel"},
      {"ppt", "application/vnd.ms-powerpoint"},
  };
  constexpr std::string_view kOther = "application/octet-stream";
  const size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return kOther;
  const std::string_view extension = fileName.substr(dot + 1);
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (const Type& t : kTypes) {
    if (std::equal(extension.begin(), extension.end(), t.extension.begin(), t.extension.end(),
                   [&](char a, char b) { return lower(a) == b; }))
      return t.type;
  }
  return kOther;
}

namespace {

// RFC 2231 7: the characters a parameter value may hold without
// percent-encoding (attribute-char: not SPACE, a CTL, '*', '\'', '%', or
// a tspecial of RFC 2045 5.1).
bool IsAttributeChar(uint8_t c) {
  return c > 0x20 && c < 0x7F &&
         std::string_view("*'%()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) ==
             std::string_view::npos;
}

// A name as the tokens an RFC 2231 section may not split: each character
// of a quoted-string with its backslash, or each UTF-8 sequence
// percent-encoded whole.
std::vector<std::string> QuotedChars(std::string_view name) {
  std::vector<std::string> chars;
  chars.reserve(name.size());
  for (char c : name) {
    std::string token;
    if (c == '"' || c == '\\') token.push_back('\\');
    token.push_back(c);
    chars.push_back(std::move(token));
  }
  return chars;
}

std::vector<std::string> PercentEncodedChars(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::vector<std::string> chars;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<uint8_t>(utf8[i]);
    // A continuation byte joins the character it continues.
    if (chars.empty() || (c & 0xC0) != 0x80) chars.emplace_back();
    if (IsAttributeChar(c)) {
      chars.back().push_back(static_cast<char>(c));
    } else {
      chars.back().push_back('%');
      chars.back().push_back(kHex[c >> 4]);
      chars.back().push_back(kHex[c & 15]);
    }
  }
  return chars;
}

std::string Join(const std::vector<std::string>& tokens) {
  std::string out;
  for (const std::string& t : tokens) out += t;
  return out;
}

// RFC 2231 3: the value in sections `attribute*0`, `attribute*1`, ...
// (with `*` after the number when the sections are percent-encoded, the
// first then starting with the charset), each section cut between tokens so
// that its line, " " section ";", fits in kFoldAt characters.
std::vector<std::string> Sections(std::string_view attribute,
                                  const std::vector<std::string>& tokens, bool extended) {
  std::vector<std::string> sections;
  size_t next = 0;
  do {
    std::string section(attribute);
    section += '*';
    section += std::to_string(sections.size());
    if (extended)
      section += sections.empty() ? "*=UTF-8''" : "*=";
    else
      section += "=\"";
    const size_t close = extended ? 0 : 1;
    do {
      section += tokens[next++];
    } while (next < tokens.size() &&
             1 + section.size() + tokens[next].size() + close + 1 <= kFoldAt);
    if (!extended) section += '"';
    sections.push_back(std::move(section));
  } while (next < tokens.size());
  return sections;
}

// The field's first line, "label value;", then its parameter: a lone piece
// on that line where it fits in kFoldAt, else each piece on a folded line
// of its own (RFC 5322 2.2.3), joined by `joiner`.
std::string Field(std::string_view label, std::string_view value,
                  const std::vector<std::string>& pieces, std::string_view joiner) {
  std::string out(label);
  out.append(" ").append(value).append(";");
  if (pieces.size() == 1 && out.size() + 1 + pieces[0].size() <= kFoldAt) {
    out.append(" ").append(pieces[0]);
  } else {
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) out += joiner;
      out.append("\r\n ").append(pieces[i]);
    }
  }
  return out.append(kCrLf);
}

// An ASCII name as one quoted-string parameter where its line, " " and the
// parameter, is at most `limit`; else in quoted RFC 2231 sections.
std::vector<std::string> QuotedParameter(std::string_view attribute, std::string_view name,
                                         size_t limit) {
  const std::vector<std::string> chars = QuotedChars(name);
  std::string whole(attribute);
  whole.append("=\"").append(Join(chars)).append("\"");
  if (1 + whole.size() <= limit || chars.empty()) return {std::move(whole)};
  return Sections(attribute, chars, false);
}

// RFC 2047 5(3) allows no encoded-word inside a quoted-string, but that is
// the form the readers which take the name from Content-Type (classic
// Outlook among them) decode. The words stand on folded lines of their own
// inside the quotes; the white space between two encoded-words is not shown.
std::vector<std::string> EncodedWordsParameter(std::string_view utf8Name) {
  // " name=\"" before the first word and "\"" after the last: a word of
  // at most 70 characters leaves every such line within kFoldAt.
  constexpr size_t kWordLength = kFoldAt - 8;
  std::vector<std::string> words = jtext::EncodeUtf8Words(utf8Name, kWordLength);
  words.front().insert(0, "name=\"");
  words.back() += '"';
  return words;
}

}  // namespace

std::string FilePartHeader(std::string_view utf8Name) {
  const std::string_view type = MediaTypeOf(utf8Name);
  std::string header;
  if (jtext::IsAscii(utf8Name)) {
    header += Field("Content-Type:", type, QuotedParameter("name", utf8Name, kMaxLineLength), ";");
    header += Field("Content-Disposition:", "attachment",
                    QuotedParameter("filename", utf8Name, kFoldAt), ";");
  } else {
    header += Field("Content-Type:", type, EncodedWordsParameter(utf8Name), "");
    const std::vector<std::string> chars = PercentEncodedChars(utf8Name);
    std::string whole = "filename*=UTF-8''" + Join(chars);
    header += Field("Content-Disposition:", "attachment",
                    1 + whole.size() <= kFoldAt ? std::vector<std::string>{std::move(whole)}
                                                : Sections("filename", chars, true),
                    ";");
  }
  header += "Content-Transfer-Encoding: base64\r\n\r\n";
  return header;
}

}  // namespace vtl::mail
