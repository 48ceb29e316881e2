// Unicode Normalization Form C (UAX #15) of UTF-8 text. A file name from
// macOS, or from an archive made there, is decomposed: "ゾ" is "ソ" and the
// combining sound mark U+3099, which a reader on Windows shows as two
// characters, and which is another name than the one typed there.
#pragma once

#include <string>
#include <string_view>

namespace vtl::jtext {

// Unicode Normalization Form C of UTF-8 text. Bytes that are not UTF-8 are
// kept as they are; a character never combines or reorders across them.
// The tables are those of the Unicode version nfc_tables.inc names (made by
// tools/gen_nfc_tables.py from Python's unicodedata). ASCII and text
// already in NFC cost one pass that looks each character up in a table,
// and only the stretches around a character that may change are decomposed
// and composed again.
std::string ToNfc(std::string_view utf8);

}  // namespace vtl::jtext
