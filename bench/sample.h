// The Japanese text the benchmarks work on: Shift_JIS of 40% hiragana, 30%
// kanji, 20% ASCII letters and 10% spaces, in lines of about 60 characters;
// or all ASCII letters, or all kanji. Always the same text for a size.
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

size_t TotalSize(const std::vector<std::string>& lines);

}  // namespace vtl::bench
