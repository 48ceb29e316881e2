// Test-side readers for what the library writes: Base64 and ISO-2022-JP
// as a mail reader decodes them, written apart from the library's encoders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtl::test {

std::optional<std::string> Base64Decode(std::string_view text);

// A reader's view of ISO-2022-JP text (RFC 1468): the characters it shows,
// ASCII bytes as themselves and JIS X 0208 codes with kJisFlag added, or
// what makes the text unreadable. Escapes that change nothing are counted
// as faults too, since the writer has no reason to emit them.
struct Iso2022Reading {
  std::string error;  // empty when the text is well-formed and ends in ASCII
  std::vector<uint32_t> chars;
};

inline constexpr uint32_t kJisFlag = 0x10000;

Iso2022Reading ReadIso2022Jp(std::string_view s);

}  // namespace vtl::test
