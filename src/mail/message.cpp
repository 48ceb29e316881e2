#include "mail/message.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "mail/mime_parts.h"

namespace vtl::mail {
namespace {

constexpr std::string_view kCrLf = "\r\n";

bool IsWsp(char c) {
  return c == ' ' || c == '\t';
}
bool IsUtf8Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The bytes of the character at `i` under a code page with these lead
// bytes: two for a lead byte followed by a byte that can be a trail byte
// (0x40 and up in every double-byte code page), else one. A lead byte before
// anything else stands alone, so it never swallows a quote or a backslash.
size_t CharLength(std::string_view s, size_t i, const jtext::LeadBytes& lead) {
  return lead[static_cast<uint8_t>(s[i])] && i + 1 < s.size() &&
                 static_cast<uint8_t>(s[i + 1]) >= 0x40
             ? 2
             : 1;
}

// How many backslash characters end s[start, cut). Under a double-byte
// code page the text is walked by characters, since a trail byte may be 0x5C.
size_t BackslashesBefore(std::string_view s, size_t start, size_t cut,
                         const jtext::LeadBytes& lead) {
  size_t run = 0;
  if (lead.none()) {
    while (cut - run > start && s[cut - run - 1] == '\\') ++run;
    return run;
  }
  for (size_t i = start; i < cut;) {
    const size_t n = CharLength(s, i, lead);
    run = n == 1 && s[i] == '\\' ? run + 1 : 0;
    i += n;
  }
  return run;
}

// Where text that is not converted may be broken, at or before `pos`, so
// that no character is split. Under a double-byte code page (Shift_JIS, or
// another) the text is walked from `start` by its lead bytes. Otherwise it
// may well be UTF-8 on a host that is not Japanese: the break moves back
// over continuation bytes, which costs single-byte text nothing.
size_t BreakBefore(std::string_view s, size_t start, size_t pos, const jtext::LeadBytes& lead) {
  if (lead.any()) {
    size_t i = start;
    while (i < pos) {
      const size_t step = CharLength(s, i, lead);
      if (i + step > pos) break;
      i += step;
    }
    return i > start ? i : pos;
  }
  if (pos >= s.size() || !IsUtf8Continuation(s[pos])) return pos;
  size_t p = pos;
  while (p > start + 1 && pos - p < 3 && IsUtf8Continuation(s[p])) --p;
  if (static_cast<unsigned char>(s[p]) >= 0xC0 && p > start) return p;
  return pos;  // not UTF-8 after all
}

// RFC 5322 2.2.3: a long header line is folded by putting CR LF before
// white space. Where a stretch has none within the limit, a space is
// inserted, which costs the reader one space but keeps the line legal.
// RFC 5322 4.2 forbids a line of white space alone: a run of white space
// that would leave its line (almost) no room for text keeps one character,
// and white space that would end the field on a line of its own is left out.
std::string Fold(std::string_view content, const jtext::LeadBytes& lead) {
  // Room that a run of white space must leave on its line for text: enough
  // for the break to move back over a character and a backslash.
  constexpr size_t kRoomForText = 8;
  std::string out;
  out.reserve(content.size() + content.size() / 400 * 3 + 2);
  size_t pos = 0;
  bool inserted = false;  // the current line begins with a space we added
  for (;;) {
    size_t text = pos;
    while (text < content.size() && IsWsp(content[text])) ++text;
    if (!out.empty() && text == content.size()) break;
    if (text - pos + kRoomForText > kMaxLineLength) pos = text - 1;
    if (!out.empty()) out.append(kCrLf);
    if (inserted) out.push_back(' ');
    const size_t budget = kMaxLineLength - (inserted ? 1 : 0);
    if (content.size() - pos <= budget) {
      out.append(content.substr(pos));
      break;
    }
    size_t cut = std::string_view::npos;
    for (size_t i = pos + budget; i > text; --i) {
      if (IsWsp(content[i])) {
        cut = i;
        break;
      }
    }
    if (cut != std::string_view::npos) {
      inserted = false;
    } else {
      cut = BreakBefore(content, pos, pos + budget, lead);
      // Never between a backslash and the character it escapes: the space
      // put in would become the escaped character, and the one that was
      // escaped would end the quoted-string early (RFC 5322 3.2.1).
      if (BackslashesBefore(content, pos, cut, lead) % 2 == 1 && cut - 1 > pos) --cut;
      inserted = true;
    }
    out.append(content.substr(pos, cut - pos));
    pos = cut;
  }
  return out.append(kCrLf);
}

std::string AddressPart(std::string_view address) {
  if (address.size() <= 1) return {};
  std::string part = " <";
  part.append(address);
  part.push_back('>');
  return part;
}

bool IsAtext(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~.").find(c) != std::string_view::npos;
}

// The display name. Where it stays plain text it is an RFC 5322
// quoted-string, so '"' and '\\' inside it are escaped. Where it becomes
// encoded-words it goes as it is: RFC 2047 5(3) allows no encoded-word in a
// quoted-string, so quotes inside the words would be shown as text.
std::string QuoteDisplayName(std::string_view name, jtext::TextMode mode) {
  const std::string flat = FlattenLineBreaks(name);
  if (jtext::ToIso2022Jp(flat, mode).hadDoubleByte) return flat;
  std::string quoted = "\"";
  for (size_t i = 0; i < flat.size(); ++i) {
    const char c = flat[i];
    // The second byte of a double-byte character may be 0x5C; it is no backslash.
    if (CharLength(flat, i, mode.leadBytes) == 2) {
      quoted.append(flat, i++, 2);
      continue;
    }
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted += '"';
  return quoted;
}

// Builds the wire lines of one body line: at most 998 octets each, with the
// transparency dot of RFC 5321 4.5.2 counted in.
class BodyLineWriter {
 public:
  BodyLineWriter(jtext::TextMode mode, LineSink& sink, jtext::ToShiftJis* toShiftJis)
      : mode_(mode), sink_(sink), toShiftJis_(toShiftJis) {
    wire_.reserve(kMaxLineLength + 3);
  }

  bool Write(std::string_view line) {
    if (toShiftJis_ != nullptr) {
      // The one copy of the text a send makes: a line at a time.
      line932_.clear();
      line932_.reserve(line.size());
      toShiftJis_->Append(line, line932_);
      line = line932_;
    }
    return mode_.Converts() ? WriteConverted(line) : WriteAsIs(line);
  }

 private:
  bool Emit(std::string_view content) {
    wire_.clear();
    // RFC 5321 4.5.2: a line that starts with '.' gets one more.
    if (!content.empty() && content[0] == '.') wire_.push_back('.');
    wire_.append(content);
    wire_.append(kCrLf);
    return sink_.Line(wire_);
  }

  bool WriteAsIs(std::string_view line) {
    size_t pos = 0;
    do {
      const size_t budget = kMaxLineLength - (pos < line.size() && line[pos] == '.' ? 1 : 0);
      size_t end = line.size();
      if (end - pos > budget) end = BreakBefore(line, pos, pos + budget, mode_.leadBytes);
      if (!Emit(line.substr(pos, end - pos))) return false;
      pos = end;
    } while (pos < line.size());
    return true;
  }

  bool WriteConverted(std::string_view line) {
    // Most lines fit whole: converted in one pass, straight into a buffer
    // with room for a leading dot and the CR LF, they need no cutting.
    if (line.size() <= kMaxLineLength) {
      char* const converted = whole_.data() + 1;
      size_t length = jtext::WriteIso2022Jp(line, converted);
      const bool dotted = length > 0 && converted[0] == '.';
      if (length + (dotted ? 1 : 0) <= kMaxLineLength) {
        std::memcpy(converted + length, kCrLf.data(), kCrLf.size());
        length += kCrLf.size();
        return dotted ? sink_.Line({whole_.data(), length + 1}) : sink_.Line({converted, length});
      }
    }
    std::string& cur = converted_;
    cur.clear();
    jtext::Iso2022Writer writer(cur);
    for (size_t i = 0; i < line.size();) {
      const jtext::WireChar c = jtext::NextWireChar(line, i);
      const bool dotted = cur.empty() ? (!c.jis && c.code == '.') : cur[0] == '.';
      if (!cur.empty() && cur.size() + writer.Cost(c) + (dotted ? 1 : 0) > kMaxLineLength) {
        // In the middle of a line: back to ASCII here and JIS X 0208 again on the next.
        writer.Close();
        if (!Emit(cur)) return false;
        cur.clear();
      }
      writer.Put(c);
      i += c.length;
    }
    writer.Close();
    return Emit(cur);
  }

  jtext::TextMode mode_;
  LineSink& sink_;
  jtext::ToShiftJis* toShiftJis_;
  std::string line932_;
  std::string wire_;
  std::string converted_;
  // '.', a converted line of up to kMaxLineLength source bytes, CR LF.
  std::array<char, 1 + kMaxLineLength * jtext::kIso2022MostPerByte + 3 + 2> whole_{'.'};
};

}  // namespace

std::string FlattenLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\r' || text[i] == '\n') {
      while (i < text.size() && (text[i] == '\r' || text[i] == '\n')) ++i;
      out.push_back(' ');
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

namespace {

// "label word" CR LF, then " word" CR LF for each further word, and the
// address part at the end of the last line where it fits.
// RFC 2047 6.2: white space between adjacent encoded-words is not shown,
// so the text survives being spread over several words and lines.
std::string WordsLine(std::string out, const std::vector<std::string>& words,
                      std::string_view addressPart) {
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out.append("\r\n ");
    out += words[i];
  }
  if (!addressPart.empty()) {
    const size_t lastLine = out.size() - (words.size() == 1 ? 0 : out.rfind('\n') + 1);
    if (lastLine + addressPart.size() > kMaxLineLength) {
      out.append(kCrLf);
      out += Fold(addressPart, {});
      return out;
    }
    out += addressPart;
  }
  return out.append(kCrLf);
}

// A UTF-8 name or subject: as ComposeHeaderBlock has it when it is ASCII,
// else as encoded-words, a name without quotes (the words stand for the
// phrase, and a quoted-string may hold none).
std::string Utf8HeaderLine(std::string_view label, std::string_view text, bool isName,
                           std::string_view address) {
  const std::string flat = FlattenLineBreaks(text);
  if (jtext::IsAscii(flat))
    return FormatHeaderLine(label, isName ? QuoteDisplayName(flat, {}) : flat, address, {});
  std::string content(label);
  content.push_back(' ');
  return WordsLine(std::move(content), jtext::EncodeUtf8Words(flat, kMaxEncodedWord),
                   AddressPart(address));
}

// A mailbox's header line: with a display name as `withName` makes it, or
// without one the bare address (local@domain, RFC 5322 3.4.1), which needs no
// angle brackets.
template <class WithName>
std::string MailboxLine(std::string_view label, std::string_view name, std::string_view address,
                        WithName withName) {
  if (!name.empty()) return withName(label);
  return std::string(label).append(" ").append(address).append(kCrLf);
}

void AppendHeaderTail(std::string& block, std::string_view date, std::string_view messageId,
                      std::string_view encoding, std::string_view charset) {
  AppendMimeTail(block, date, messageId, charset.empty() ? "" : TextPartHeader(encoding, charset));
}

// Calls line(text) for each line of the body: CR LF, CR or LF ends a line,
// empty lines are kept, and a break at the very end ends the last line.
// Stops when line() returns false, and returns false then.
template <class Line>
bool ForEachBodyLine(std::string_view body, Line&& line) {
  // The line ends at the first CR or LF. Each is found with memchr, and
  // where it was found is kept until the text has passed it: a search never
  // covers ground already searched, so lines ending in CR alone (where the
  // next LF may be far off, or nowhere) cost time linear in the body.
  if (body.empty()) return true;
  auto find = [body](char c, size_t from) {
    const auto* p =
        static_cast<const char*>(std::memchr(body.data() + from, c, body.size() - from));
    return p != nullptr ? static_cast<size_t>(p - body.data()) : body.size();
  };
  // The next LF and CR at or after `pos`; size() where there is none.
  size_t nextLf = find('\n', 0), nextCr = find('\r', 0);
  size_t pos = 0;
  while (pos < body.size()) {
    if (nextLf < pos) nextLf = find('\n', pos);
    if (nextCr < pos) nextCr = find('\r', pos);
    const size_t end = std::min(nextLf, nextCr);
    if (!line(body.substr(pos, end - pos))) return false;
    if (end == body.size()) break;
    pos = end + ((body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n') ? 2 : 1);
  }
  return true;
}

// RFC 2045 6.7: the characters that stand for themselves; white space does
// too, except at the end of a line.
bool IsQuotedPrintableLiteral(uint8_t c) {
  return (c >= 33 && c <= 126 && c != '=') || c == ' ' || c == '\t';
}

// Quoted-printable of one line, ended by CR LF, in lines of at most 76
// characters (soft breaks included) that never split an "=XX".
void AppendQuotedPrintableLine(std::string_view line, std::string& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  constexpr size_t kMaxLine = 76;
  size_t column = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<uint8_t>(line[i]);
    const bool last = i + 1 == line.size();
    const bool literal = IsQuotedPrintableLiteral(c) && !(last && (c == ' ' || c == '\t'));
    const size_t width = literal ? 1 : 3;
    // A soft break ("=") needs a column of its own, except after the last.
    if (column + width > kMaxLine - (last ? 0 : 1)) {
      out.append("=\r\n");
      column = 0;
    }
    if (literal) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('=');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
    column += width;
  }
  out.append(kCrLf);
}

}  // namespace

std::string TextPartHeader(std::string_view encoding, std::string_view charset) {
  std::string lines("Content-Transfer-Encoding: ");
  lines.append(encoding).append(kCrLf);
  lines.append("Content-Type: text/plain; charset=").append(charset).append(kCrLf);
  return lines;
}

void AppendMimeTail(std::string& block, std::string_view date, std::string_view messageId,
                    std::string_view contentLines, bool mailer) {
  block.append("Date: ").append(date).append(kCrLf);
  block.append("Message-ID: ").append(messageId).append(kCrLf);
  block.append("MIME-Version: 1.0\r\n");
  block.append(contentLines);
  if (mailer) block.append("X-Mailer: Vantrel\r\n");
  block.append(kCrLf);
}

std::string QuotedDisplayName(std::string_view name) {
  return QuoteDisplayName(name, {});
}

std::string Utf8TextLine(std::string_view label, std::string_view utf8) {
  return Utf8HeaderLine(label, utf8, false, {});
}

std::string FormatHeaderLine(std::string_view label, std::string_view text,
                             std::string_view address, jtext::TextMode mode) {
  const jtext::Iso2022Text converted = jtext::ToIso2022Jp(text, mode);
  const std::string addressPart = AddressPart(address);
  std::string content(label);
  content.push_back(' ');
  if (!converted.hadDoubleByte) {
    content += converted.bytes;
    content += addressPart;
    if (content.size() <= kMaxLineLength) return content.append(kCrLf);
    return Fold(content, mode.leadBytes);
  }
  const std::string word = jtext::EncodedWord(converted.bytes);
  if (content.size() + word.size() + addressPart.size() <= kMaxLineLength) {
    content += word;
    content += addressPart;
    return content.append(kCrLf);
  }
  return WordsLine(content, jtext::EncodeHeaderWords(text, kMaxEncodedWord), addressPart);
}

std::string FormatMailDate(const LocalTime& t) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int offset = t.utcOffsetMinutes < 0 ? -t.utcOffsetMinutes : t.utcOffsetMinutes;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                kDays[((t.dayOfWeek % 7) + 7) % 7], t.day, kMonths[((t.month - 1) % 12 + 12) % 12],
                t.year, t.hour, t.minute, t.second, t.utcOffsetMinutes < 0 ? '-' : '+',
                offset / 60 % 100, offset % 60);
  return buffer;
}

std::string MakeMessageId(const LocalTime& t, unsigned long pid, uint64_t counter,
                          std::string_view host) {
  // RFC 5322 3.6.4: the right side is a dot-atom, without empty labels.
  bool usable = !host.empty() && host.front() != '.' && host.back() != '.' &&
                host.find("..") == std::string_view::npos;
  for (char c : host) usable = usable && IsAtext(c);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "<%04d%02d%02d%02d%02d%02d%04d.%lu.%llu@", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.millisecond, pid,
                static_cast<unsigned long long>(counter));
  std::string id = buffer;
  id.append(usable ? host : std::string_view("localhost"));
  id.push_back('>');
  return id;
}

std::string ComposeHeaderBlock(const MessageTexts& texts, jtext::TextMode mode,
                               std::string_view date, std::string_view messageId) {
  std::string block;
  block += MailboxLine("From:", texts.fromName, texts.fromAddress, [&](std::string_view label) {
    return FormatHeaderLine(label, QuoteDisplayName(texts.fromName, mode), texts.fromAddress, mode);
  });
  block += MailboxLine("To:", texts.toName, texts.toAddress, [&](std::string_view label) {
    return FormatHeaderLine(label, QuoteDisplayName(texts.toName, mode), texts.toAddress, mode);
  });
  block += FormatHeaderLine("Subject:", FlattenLineBreaks(texts.subject), {}, mode);
  AppendHeaderTail(block, date, messageId, "7bit", mode.japanese ? "iso-2022-jp" : "");
  return block;
}

std::string ComposeUtf8HeaderBlock(const MessageTexts& texts, TransferEncoding encoding,
                                   std::string_view date, std::string_view messageId) {
  std::string block =
      MailboxLine("From:", texts.fromName, texts.fromAddress, [&](std::string_view label) {
        return Utf8HeaderLine(label, texts.fromName, true, texts.fromAddress);
      });
  block += MailboxLine("To:", texts.toName, texts.toAddress, [&](std::string_view label) {
    return Utf8HeaderLine(label, texts.toName, true, texts.toAddress);
  });
  block += Utf8HeaderLine("Subject:", texts.subject, false, {});
  AppendHeaderTail(block, date, messageId,
                   encoding == TransferEncoding::Base64 ? "base64" : "quoted-printable", "UTF-8");
  return block;
}

EncodedBody EncodeUtf8Body(std::string utf8Body) {
  // The text as the reader gets it back: every line ended by CR LF.
  std::string text;
  text.reserve(utf8Body.size() + utf8Body.size() / 32 + 2);
  ForEachBodyLine(utf8Body, [&](std::string_view line) {
    text.append(line).append(kCrLf);
    return true;
  });
  std::string().swap(utf8Body);  // no third copy of the body while it is encoded
  const auto base64Size = static_cast<size_t>(Base64LinesSize(text.size()));

  EncodedBody body;
  // Each byte that does not stand for itself takes three characters in
  // quoted-printable (CR LF ends a line in both forms): where that alone
  // makes it no shorter, it is not tried.
  size_t escaped = 0;
  for (char c : text)
    escaped += IsQuotedPrintableLiteral(static_cast<uint8_t>(c)) || c == '\r' || c == '\n' ? 0 : 1;
  if (text.size() + 2 * escaped < base64Size) {
    body.encoding = TransferEncoding::QuotedPrintable;
    body.lines.reserve(std::min(base64Size, text.size() + 2 * escaped + text.size() / 32));
    const bool shorter = ForEachBodyLine(text, [&](std::string_view line) {
      AppendQuotedPrintableLine(line, body.lines);
      return body.lines.size() < base64Size;
    });
    if (shorter && body.lines.size() < base64Size) return body;
  }

  body.encoding = TransferEncoding::Base64;
  body.lines.clear();
  body.lines.reserve(base64Size);
  Base64Lines encoder;
  encoder.Feed(text, body.lines);
  encoder.Finish(body.lines);
  return body;
}

bool LineSink::Lines(std::string_view lines) {
  while (!lines.empty()) {
    const size_t end = std::min(lines.find('\n'), lines.size() - 1) + 1;
    if (!Line(lines.substr(0, end))) return false;
    lines.remove_prefix(end);
  }
  return true;
}

bool WriteBodyLines(std::string_view body, jtext::TextMode mode, LineSink& sink,
                    jtext::ToShiftJis* toShiftJis) {
  BodyLineWriter writer(mode, sink, toShiftJis);
  if (mode.Converts() || toShiftJis != nullptr)
    return ForEachBodyLine(body, [&](std::string_view line) { return writer.Write(line); });
  // A line ended by CR LF that starts with no '.' and fits in 998 octets is
  // on the wire what it is in the body, CR LF included; such lines one
  // after another go to the sink as one piece of the body, uncopied. A
  // piece goes once it holds 256 KiB, so that the server reads while the
  // rest is cut.
  constexpr size_t kMostInPiece = 256 * 1024;
  const char* const bodyEnd = body.data() + body.size();
  std::string_view run;
  auto endRun = [&] {
    const bool ok = run.empty() || sink.Lines(run);
    run = {};
    return ok;
  };
  const bool ok = ForEachBodyLine(body, [&](std::string_view line) {
    const char* const after = line.data() + line.size();
    if (line.size() <= kMaxLineLength && !line.starts_with('.') && bodyEnd - after >= 2 &&
        after[0] == '\r' && after[1] == '\n') {
      run = run.empty() ? std::string_view(line.data(), line.size() + 2)
                        : std::string_view(run.data(), run.size() + line.size() + 2);
      return run.size() < kMostInPiece || endRun();
    }
    return endRun() && writer.Write(line);
  });
  return ok && endRun();
}

}  // namespace vtl::mail
