// The pieces of the performance report that are not timings:
//   vtl_bench_tool body SIZE          the Shift_JIS sample body, to stdout
//   vtl_bench_tool message SIZE       the message as it goes on the wire, to stdout
//   vtl_bench_tool memory vtl|vtl-utf8|curl SIZE
//                                     peak resident memory one send adds
//   vtl_bench_tool memory vtl-file|curl-file SIZE
//                                     the same for a file of SIZE random bytes
//                                     attached (VTLSendMailEx, libcurl's MIME API)
//   vtl_bench_tool convert            converts the 1 MiB sample once (for callgrind)
//   vtl_bench_tool send [SIZE]        one send, of a small mail by default (for callgrind)
//   vtl_bench_tool send-ascii SIZE    one send of an ASCII body from an English system
//   vtl_bench_tool send-file SIZE     one send with a file of SIZE random bytes attached
// The sends go to the server of the send benchmarks: over smtps to the TLS
// sink when VTL_BENCH_TLS_SERVER names one, else in clear to smtp-sink;
// those of an English system (send-ascii, send-file, the files' memory)
// always in clear to smtp-sink.
#include <curl/curl.h>
#include <stdlib.h>
#include <unistd.h>

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

// Makes the peak the memory resident now (Linux 4.0 and later: "5" to
// clear_refs), so that what was held before and given back cannot hide
// what comes after.
bool ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}

// A file of random bytes, in a folder of its own under TMPDIR, both
// removed at the end.
class RandomFile {
 public:
  explicit RandomFile(size_t size) {
    const char* tmp = std::getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vtl-bench-tool-XXXXXX";
    if (mkdtemp(dir_.data()) == nullptr) {
      dir_.clear();
      return;
    }
    path_ = dir_ + "/attached.bin";
    made_ = vtl::bench::WriteRandomFile(path_, size);
  }
  ~RandomFile() {
    if (dir_.empty()) return;
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  RandomFile(const RandomFile&) = delete;
  RandomFile& operator=(const RandomFile&) = delete;

  bool made() const { return made_; }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
  bool made_ = false;
};

// A file attached: made on disk before the send, a MiB at a time, and the
// peak reset after, so that only what the send itself holds counts.
int FileMemory(const std::string& who, size_t size) {
  vtl::bench::UseEnglishLocale();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  long before = -1, after = -1;
  bool sent = false;
  {
    const RandomFile file(size);
    if (file.made() && ResetPeak()) {
      before = PeakResidentKib();
      sent = who == "curl-file"
                 ? vtl::bench::SendFileWithCurl(file.path())
                 : vtl::bench::SendFileWithVtl(vtl::bench::BenchServer(), file.path()) == 0;
      after = PeakResidentKib();
    }
  }
  curl_global_cleanup();
  std::printf("sender=%s file_bytes=%zu peak_before_kib=%ld peak_after_kib=%ld added_kib=%ld\n",
              who.c_str(), size, before, after, after - before);
  return sent ? 0 : 1;
}

int Memory(const std::string& who, size_t size) {
  if (who == "vtl-file" || who == "curl-file") return FileMemory(who, size);
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
  if (command == "send-ascii" && argc == 3) {
    vtl::bench::UseEnglishLocale();
    return vtl::bench::SendAsciiWithVtl(vtl::bench::BenchServer(),
                                        vtl::bench::SampleBody(size, Mix::Ascii));
  }
  if (command == "send-file" && argc == 3) {
    vtl::bench::UseEnglishLocale();
    const RandomFile file(size);
    return file.made() && vtl::bench::SendFileWithVtl(vtl::bench::BenchServer(), file.path()) == 0
               ? 0
               : 1;
  }
  std::fputs(
      "usage: vtl_bench_tool body SIZE | message SIZE |\n"
      "                      memory vtl|vtl-utf8|curl|vtl-file|curl-file SIZE | convert |\n"
      "                      send [SIZE] | send-ascii SIZE | send-file SIZE\n",
      stderr);
  return 2;
}
