// Byte strings in test failures: escape sequences and CR LF are unreadable
// as text, so a mismatch is shown as hex around the first difference.
#pragma once

#include <string>
#include <string_view>

namespace vtl::test {

// Printable ASCII as is, everything else as \xHH; CR LF as \r\n.
std::string Escape(std::string_view bytes);

// Empty when equal; otherwise both strings in hex around the first
// differing offset.
std::string HexDiff(std::string_view expected, std::string_view actual);

// Reads C-style escapes: \r \n \t \\ \xHH.
std::string Unescape(std::string_view text);

}  // namespace vtl::test

// EXPECT_BYTES_EQ(expected, actual): equality with a hex diff on failure.
#define EXPECT_BYTES_EQ(expected, actual) \
  EXPECT_EQ("", ::vtl::test::HexDiff((expected), (actual))) << "bytes differ"
