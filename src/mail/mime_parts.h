// The parts of a multipart/mixed mail that carry files: their header, and
// their content in base64 lines made as the file is read, so that a file
// of any size costs a buffer, not its size, and the size of the whole mail
// is known before the first byte is sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vtl::mail {

// base64 (RFC 2045 6.8) in lines of 76 characters, each ended by CR LF,
// encoded as the bytes come. Finish() leaves it ready for the next file.
class Base64Lines {
 public:
  // Input bytes a line of 76 characters holds.
  static constexpr size_t kBytesPerLine = 57;

  // Appends to `out` the lines that `bytes` completes; keeps what does not
  // yet fill a line (at most 56 input bytes' worth).
  void Feed(std::string_view bytes, std::string& out);
  // Appends the last, shorter line (with padding) and its CR LF; nothing
  // when no byte is left over (so an empty file gives no line at all).
  void Finish(std::string& out);

 private:
  std::array<char, kBytesPerLine> pending_{};
  size_t pendingSize_ = 0;
};

// The exact number of bytes Base64Lines gives for `n` input bytes, CR LFs
// included (for SMTP SIZE, computed before sending).
uint64_t Base64LinesSize(uint64_t n);

// The media type for a file name by its extension (what follows the last
// dot, unless that dot begins the name), case-insensitive: pdf
// application/pdf, txt text/plain, csv text/csv, html/htm text/html, xml
// application/xml, json application/json, png image/png, jpeg/jpg
// image/jpeg, gif image/gif, zip application/zip, docx/xlsx/pptx their
// application/vnd.openxmlformats-officedocument.* types, doc
// application/msword, xls application/vnd.ms-excel, ppt
// application/vnd.ms-powerpoint; anything else application/octet-stream.
// Never a charset parameter: the bytes of a text file go as they are, in
// whatever character set they were written.
std::string_view MediaTypeOf(std::string_view fileName);

// The header lines of a file's part (each ending CR LF) and the empty line
// that ends them:
//   Content-Type: <type>; name=...
//   Content-Disposition: attachment; filename=...
//   Content-Transfer-Encoding: base64
// `utf8Name` is the base name already in UTF-8 and NFC (the caller
// normalises it); it holds no control character.
//
// The name is written twice, as the readers in use read it: RFC 2231 in
// Content-Disposition, and in Content-Type's name the form older readers
// (classic Outlook among them) show. Each parameter goes on the first line
// where it fits in 78 characters, else on folded lines of its own.
// - An ASCII name is a quoted-string (RFC 2045 5.1) in both. Where
//   `filename="..."` does not fit a line of 78 it is cut into RFC 2231
//   sections (`filename*0="..."; filename*1="..."`), a line each; `name`
//   stays whole up to 998 octets, and only beyond that is cut the same way.
// - Any other name is `filename*=UTF-8''` and its percent-encoding (RFC
//   2231 4), cut where it is too long into sections `filename*0*=`,
//   `filename*1*=`, ..., a line each, only between characters; and
//   `name="=?UTF-8?B?...?="` with as many encoded-words (RFC 2047) as it
//   takes, cut between characters, on folded lines inside the quotes.
// Every line is then at most 78 characters but the first of Content-Type,
// which holds the media type whole (80 for .xlsx, 88 for .pptx).
std::string FilePartHeader(std::string_view utf8Name);

}  // namespace vtl::mail
