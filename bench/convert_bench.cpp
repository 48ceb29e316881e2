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
#include <string>
#include <string_view>
#include <vector>

#include "jtext/jtext.h"
#include "mail/message.h"
#include "sample.h"

namespace {

using vtl::bench::Mix;
using vtl::bench::SampleLines;
using vtl::bench::TotalSize;

void Vtl(benchmark::State& state, Mix mix) {
  const auto lines = SampleLines(static_cast<size_t>(state.range(0)), mix);
  const vtl::jtext::TextMode mode = vtl::jtext::ShiftJisMode(true);
  for (auto _ : state) {
    for (const std::string& line : lines) {
      vtl::jtext::Iso2022Text out = vtl::jtext::ToIso2022Jp(line, mode);
      benchmark::DoNotOptimize(out.bytes.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}

void Iconv(benchmark::State& state, Mix mix) {
  const auto lines = SampleLines(static_cast<size_t>(state.range(0)), mix);
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
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}

void Memcpy(benchmark::State& state, Mix mix) {
  const auto lines = SampleLines(static_cast<size_t>(state.range(0)), mix);
  std::string out(128, '\0');
  for (auto _ : state) {
    for (const std::string& line : lines) {
      if (out.size() < line.size()) out.resize(line.size());
      std::memcpy(out.data(), line.data(), line.size());
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}

// Cutting a body into its wire lines and converting them, as a send does:
// the same lines ended in LF, in CR alone and in CR LF, which should all
// take about the same time.
void BodyLines(benchmark::State& state, const char* lineEnd) {
  std::string body;
  for (const std::string& line : SampleLines(static_cast<size_t>(state.range(0)), Mix::Typical))
    body.append(line).append(lineEnd);
  struct Discard : vtl::mail::LineSink {
    bool Line(std::string_view line) override {
      benchmark::DoNotOptimize(line.data());
      return true;
    }
  } sink;
  const vtl::jtext::TextMode mode = vtl::jtext::ShiftJisMode(true);
  for (auto _ : state) vtl::mail::WriteBodyLines(body, mode, sink);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

BENCHMARK_CAPTURE(BodyLines, lf, "\n")->Arg(4 << 20)->Arg(1 << 10)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BodyLines, cr, "\r")->Arg(4 << 20)->Arg(1 << 10)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BodyLines, crlf, "\r\n")
    ->Arg(4 << 20)
    ->Arg(1 << 10)
    ->Unit(benchmark::kMillisecond);

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
