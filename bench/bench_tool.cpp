// The pieces of the performance report that are not timings:
//   vtl_bench_tool body SIZE          the Shift_JIS sample body, to stdout
//   vtl_bench_tool message SIZE       the message as it goes on the wire, to stdout
//   vtl_bench_tool memory vtl|vtl-utf8|curl SIZE
//                                     peak resident memory one send adds
//   vtl_bench_tool convert            converts the 1 MiB sample once (for callgrind)
//   vtl_bench_tool send [SIZE]        one send, of a small mail by default (for callgrind)
// The sends go to the server of the send benchmarks: over smtps to the TLS
// sink when VTL_BENCH_TLS_SERVER names one, else in clear to smtp-sink.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "jtext/jtext.h"
#include "mail.h"
#include "sample.h"

namespace {

using vtl::bench::Mix;
using vtl::bench::Transport;

Transport BenchTransport() {
  return vtl::bench::TlsBenchServer().empty() ? Transport::Plain : Transport::Smtps;
}

// The process's peak resident memory so far, in KiB.
long PeakResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

bool Write(const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
}

// Kept out of line, so that callgrind can count it alone.
[[gnu::noinline]] size_t ConvertSample(const std::vector<std::string>& lines) {
  const vtl::jtext::TextMode mode = vtl::jtext::ShiftJisMode(true);
  size_t out = 0;
  for (const std::string& line : lines) out += vtl::jtext::ToIso2022Jp(line, mode).bytes.size();
  return out;
}

int Memory(const std::string& who, size_t size) {
  const Transport transport = BenchTransport();
  vtl::bench::UseJapaneseLocale();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // The caller's data is in memory before the send starts: the body for
  // ours, the finished message for libcurl.
  // "vtl-utf8": a Japanese UTF-8 system's body with an emoji in every
  // line, which goes out as UTF-8.
  const bool utf8 = who == "vtl-utf8";
  const std::string body =
      utf8 ? vtl::bench::SampleUtf8Body(size, true) : vtl::bench::SampleBody(size, Mix::Typical);
  const std::string message = who == "curl" ? vtl::bench::WireMessage(body) : std::string();
  const long before = PeakResidentKib();
  const bool sent = who == "curl" ? vtl::bench::SendWithCurl(transport, message)
                    : utf8 ? vtl::bench::SendFromUtf8(vtl::bench::VtlServer(transport), body) == 0
                           : vtl::bench::SendWithVtl(vtl::bench::VtlServer(transport), body) == 0;
  const long after = PeakResidentKib();
  curl_global_cleanup();
  std::printf("sender=%s body_bytes=%zu peak_before_kib=%ld peak_after_kib=%ld added_kib=%ld\n",
              who.c_str(), body.size(), before, after, after - before);
  return sent ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const size_t size = argc > 2 ? std::strtoull(argv[argc - 1], nullptr, 10) : 0;
  if (command == "body" && argc == 3)
    return Write(vtl::bench::SampleBody(size, Mix::Typical)) ? 0 : 1;
  if (command == "message" && argc == 3)
    return Write(vtl::bench::WireMessage(vtl::bench::SampleBody(size, Mix::Typical))) ? 0 : 1;
  if (command == "memory" && argc == 4) return Memory(argv[2], size);
  if (command == "convert" && argc == 2)
    return ConvertSample(vtl::bench::SampleLines(1 << 20, Mix::Typical)) > 0 ? 0 : 1;
  if (command == "send" && argc <= 3) {
    vtl::bench::UseJapaneseLocale();
    return vtl::bench::SendWithVtl(vtl::bench::VtlServer(BenchTransport()),
                                   vtl::bench::SampleBody(argc == 3 ? size : 256, Mix::Typical));
  }
  std::fputs(
      "usage: vtl_bench_tool body SIZE | message SIZE | memory vtl|vtl-utf8|curl SIZE | convert |\n"
      "                      send [SIZE]\n",
      stderr);
  return 2;
}
