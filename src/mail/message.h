// The message between DATA's reply and the end of data: the header block and
// the body, as the lines that go on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "platform/platform.h"

namespace vtl::mail {

// RFC 5322 2.1.1: a line is at most 998 octets before its CR LF.
inline constexpr size_t kMaxLineLength = 998;
// RFC 2047 2: an encoded-word is at most 75 characters.
inline constexpr size_t kMaxEncodedWord = 75;

struct MessageTexts {
  std::string_view fromAddress;
  std::string_view fromName;
  std::string_view toAddress;
  std::string_view toName;
  std::string_view subject;
};

// Each run of CR and LF becomes one space, so a text cannot start a header.
std::string FlattenLineBreaks(std::string_view text);

// "label text <address>" CR LF. In Japanese mode a text that holds a
// double-byte character becomes an encoded-word, or several on folded lines
// where one would make the line too long; any other text stands as it is.
// The address part is left out when the address has at most one character.
// A line longer than 998 octets is folded.
std::string FormatHeaderLine(std::string_view label, std::string_view text,
                             std::string_view address, jtext::TextMode mode);

// The content lines of a text part: "Content-Transfer-Encoding: encoding"
// and "Content-Type: text/plain; charset=charset", each ending in CR LF.
std::string TextPartHeader(std::string_view encoding, std::string_view charset);

// The end of every header block: Date, Message-ID, MIME-Version, the
// content lines given (each ending in CR LF; may be empty), X-Mailer
// unless the caller wrote one of its own, and the empty line.
void AppendMimeTail(std::string& block, std::string_view date, std::string_view messageId,
                    std::string_view contentLines, bool mailer = true);

// An ASCII display name as an RFC 5322 quoted-string.
std::string QuotedDisplayName(std::string_view name);

// "label text" CR LF for an unstructured UTF-8 text: as it is when ASCII,
// else "=?UTF-8?B?" encoded-words on folded lines.
std::string Utf8TextLine(std::string_view label, std::string_view utf8);

// RFC 5322 date-time, "Thu, 09 Mar 2023 01:42:58 +0900".
std::string FormatMailDate(const LocalTime& t);

// "<" yyyymmddhhmmssmmmm "." pid "." counter "@" host ">".
std::string MakeMessageId(const LocalTime& t, unsigned long pid, uint64_t counter,
                          std::string_view host);

// Every header line in order and the empty line that ends the block.
std::string ComposeHeaderBlock(const MessageTexts& texts, jtext::TextMode mode,
                               std::string_view date, std::string_view messageId);

// Mail in UTF-8, for text that ISO-2022-JP cannot carry and for every
// text that is not ASCII outside Japanese mode. The texts are UTF-8 here.
// A name or subject that is not all ASCII becomes "=?UTF-8?B?" encoded-words
// of at most 75 characters, one per line; any other stands as it would in
// ComposeHeaderBlock.
enum class TransferEncoding { Base64, QuotedPrintable };
std::string ComposeUtf8HeaderBlock(const MessageTexts& texts, TransferEncoding encoding,
                                   std::string_view date, std::string_view messageId);

// The body's lines (cut as WriteBodyLines cuts them, each ended by CR LF)
// in the shorter of quoted-printable and base64: lines of at most 76
// characters, each ending in CR LF, not yet dot-stuffed.
struct EncodedBody {
  TransferEncoding encoding = TransferEncoding::Base64;
  std::string lines;
};
EncodedBody EncodeUtf8Body(std::string utf8Body);

// Receives the wire lines of the body, each ending in CR LF.
class LineSink {
 public:
  virtual ~LineSink() = default;
  // Returns false to stop.
  virtual bool Line(std::string_view line) = 0;
  // Several whole lines in one piece, each ending in CR LF and holding no
  // other CR or LF, none starting with '.' (so none was dot-stuffed): given
  // to Line() one by one, unless the sink takes them whole.
  virtual bool Lines(std::string_view lines);
};

// The whole data section of a message, written as it is sent.
class MessageSource {
 public:
  virtual ~MessageSource() = default;
  // Gives `sink` every line of the message, dot-stuffed and each ending in
  // CR LF, without the "." line that ends the data. False when the sink
  // stopped (`why` left empty) or when the message could not be made to its
  // end (`why` says what failed: a file that could not be read, say).
  virtual bool Write(LineSink& sink, std::string& why) = 0;
  // The message's size as RFC 1870 counts it (before dot-stuffing, without
  // the final "."), worked out without sending anything.
  virtual uint64_t Size() = 0;
};

// Counts what a sink is given as RFC 1870 counts a message's size: the
// dots added for transparency left out.
class SizeCounter : public LineSink {
 public:
  bool Line(std::string_view piece) override {
    // Every piece a message gives starts a line, and a line of the data
    // section starts with '.' only where one was added in front.
    size_ += piece.size() - (piece.starts_with('.') ? 1 : 0);
    for (size_t at = piece.find("\n."); at != std::string_view::npos;
         at = piece.find("\n.", at + 2))
      --size_;
    return true;
  }
  bool Lines(std::string_view lines) override {
    size_ += lines.size();
    return true;
  }
  uint64_t size() const { return size_; }

 private:
  uint64_t size_ = 0;
};

// Cuts the body into lines (CR LF, CR or LF ends a line; empty lines are
// kept; a break at the very end ends the last line), converts each, breaks
// lines longer than 998 octets at a character boundary, and dot-stuffs.
// With `toShiftJis`, each line is first put into code page 932 by it (CR and
// LF are never part of a character in any code page it reads). Text that is
// not converted goes to the sink's Lines() where its bytes are already the
// wire's (runs of lines ended by CR LF that need no dot and no break),
// straight from `body`. Returns false when the sink stopped.
bool WriteBodyLines(std::string_view body, jtext::TextMode mode, LineSink& sink,
                    jtext::ToShiftJis* toShiftJis = nullptr);

}  // namespace vtl::mail
