// The Japanese text the benchmarks work on: Shift_JIS of 40% hiragana, 30%
// kanji, 20% ASCII letters and 10% spaces, in lines of about 60 characters;
// or all ASCII letters, or all kanji. Always the same text for a size. And
// the typical text as a UTF-8 system has it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vtl::bench {

enum class Mix { Typical, Ascii, Kanji };

// About `bytes` bytes of text as lines, without their breaks.
std::vector<std::string> SampleLines(size_t bytes, Mix mix);

// The same lines as one body, each ended by CR LF.
std::string SampleBody(size_t bytes, Mix mix);

// The typical text in UTF-8, lines ended by CR LF, until the body with
// emoji has at least `bytes` bytes. With `emoji`, each line holds one
// emoji, a character no Japanese code page has, somewhere in it; without,
// the same lines without it.
std::string SampleUtf8Body(size_t bytes, bool emoji);

size_t TotalSize(const std::vector<std::string>& lines);

}  // namespace vtl::bench
