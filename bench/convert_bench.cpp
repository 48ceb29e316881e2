// Conversion throughput: ToIso2022Jp on Shift_JIS text line by line, as a
// body is converted, beside glibc's iconv (SHIFT_JIS to ISO-2022-JP) on the
// same lines in the same run, and beside memcpy of the same bytes.
//
// The text: 40% hiragana, 30% kanji, 20% ASCII letters, 10% spaces, a line
// break about every 60 characters; and the all-ASCII and all-kanji cases.
// The argument is the text's size in bytes.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "jtext/jtext.h"

namespace {

enum class Mix { Typical, Ascii, Kanji };

// Shift_JIS text of about `size` bytes, cut into lines (without their breaks).
std::vector<std::string> MakeLines(size_t size, Mix mix) {
  std::mt19937 random(20261207);
  std::vector<std::string> lines;
  std::string line;
  size_t total = 0;
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  while (total < size) {
    const int roll = mix == Mix::Typical ? pick(100) : mix == Mix::Ascii ? 80 : 55;
    if (roll < 40) {  // hiragana 0x829F-0x82F1
      line += '\x82';
      line += static_cast<char>(0x9F + pick(0x53));
    } else if (roll < 70) {  // kanji of the first level, 0x889F-0x9872
      line += static_cast<char>(0x89 + pick(0x0F));
      line += static_cast<char>(0x40 + pick(0x3F));
    } else if (roll < 90) {
      line += static_cast<char>('a' + pick(26));
    } else {
      line += ' ';
    }
    if (line.size() >= 100 || (line.size() >= 60 && pick(8) == 0)) {
      total += line.size() + 2;
      lines.push_back(std::move(line));
      line.clear();
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

size_t Bytes(const std::vector<std::string>& lines) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.size();
  return n;
}

void Vtl(benchmark::State& state, Mix mix) {
  const auto lines = MakeLines(static_cast<size_t>(state.range(0)), mix);
  const vtl::jtext::TextMode mode = vtl::jtext::ShiftJisMode(true);
  for (auto _ : state) {
    for (const std::string& line : lines) {
      vtl::jtext::Iso2022Text out = vtl::jtext::ToIso2022Jp(line, mode);
      benchmark::DoNotOptimize(out.bytes.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Bytes(lines)));
}

void Iconv(benchmark::State& state, Mix mix) {
  const auto lines = MakeLines(static_cast<size_t>(state.range(0)), mix);
  iconv_t cd = iconv_open("ISO-2022-JP", "SHIFT_JIS");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    state.SkipWithError("iconv cannot convert SHIFT_JIS to ISO-2022-JP");
    return;
  }
  std::string out;
  for (auto _ : state) {
    for (const std::string& line : lines) {
      // As a converter for one line: fresh state, output sized for the worst case.
      out.resize(line.size() * 4 + 8);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      char* in = const_cast<char*>(line.data());
      size_t inLeft = line.size();
      char* o = out.data();
      size_t outLeft = out.size();
      iconv(cd, &in, &inLeft, &o, &outLeft);
      iconv(cd, nullptr, nullptr, &o, &outLeft);
      benchmark::DoNotOptimize(out.data());
    }
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Bytes(lines)));
}

void Memcpy(benchmark::State& state, Mix mix) {
  const auto lines = MakeLines(static_cast<size_t>(state.range(0)), mix);
  std::string out(128, '\0');
  for (auto _ : state) {
    for (const std::string& line : lines) {
      if (out.size() < line.size()) out.resize(line.size());
      std::memcpy(out.data(), line.data(), line.size());
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Bytes(lines)));
}

// 1 MiB is the measured size; 1 KiB is what CI runs, so the code cannot rot.
#define VTL_CONVERSION(name, fn, mix) \
  BENCHMARK_CAPTURE(fn, name, mix)->Arg(1 << 20)->Arg(1 << 10)->Unit(benchmark::kMicrosecond)

VTL_CONVERSION(typical, Vtl, Mix::Typical);
VTL_CONVERSION(typical, Iconv, Mix::Typical);
VTL_CONVERSION(typical, Memcpy, Mix::Typical);
VTL_CONVERSION(ascii, Vtl, Mix::Ascii);
VTL_CONVERSION(ascii, Iconv, Mix::Ascii);
VTL_CONVERSION(ascii, Memcpy, Mix::Ascii);
VTL_CONVERSION(kanji, Vtl, Mix::Kanji);
VTL_CONVERSION(kanji, Iconv, Mix::Kanji);
VTL_CONVERSION(kanji, Memcpy, Mix::Kanji);

}  // namespace

BENCHMARK_MAIN();
