// One send, end to end: VTLSendMail beside libcurl sending the same message
// bytes to the same SMTP server (smtp-sink on loopback), in one run, for a
// small Japanese mail and for bodies up to 50 MiB; and, when the TLS sink
// runs (vtl_tls_sink sets VTL_BENCH_TLS_SERVER), the small mail over smtps
// with a login (SendTls). Each benchmark also reports the median time of one
// send. And from a Japanese UTF-8 system, a 1 MiB body that must go as
// UTF-8 (an emoji in every line) beside the same body without the emoji,
// which goes as ISO-2022-JP (FromUtf8). From an English system, an ASCII
// body that nothing converts (SendAscii), and a short text with a file of
// random bytes attached, through VTLSendMailEx beside libcurl's MIME API
// (Attach).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mail.h"
#include "sample.h"

namespace {

using vtl::bench::Mix;
using vtl::bench::Transport;

enum class Sender { Vtl, Curl };

// A send that fails makes the run fail, so that CI notices.
bool g_failed = false;

// Times one send per iteration; a send that fails ends the benchmark.
template <class SendOnce>
void TimeSends(benchmark::State& state, size_t bodyBytes, SendOnce sendOnce) {
  std::vector<double> millis;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool sent = sendOnce();
    millis.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (!sent) {
      g_failed = true;
      state.SkipWithError("the server did not take the mail; is the sink running?");
      return;
    }
  }
  std::nth_element(millis.begin(), millis.begin() + millis.size() / 2, millis.end());
  state.counters["median_ms"] = millis[millis.size() / 2];
  state.counters["body_bytes"] = static_cast<double>(bodyBytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bodyBytes));
}

void Send(benchmark::State& state, Sender sender, Transport transport) {
  vtl::bench::UseJapaneseLocale();
  const std::string server = vtl::bench::VtlServer(transport);
  const std::string body =
      vtl::bench::SampleBody(static_cast<size_t>(state.range(0)), Mix::Typical);
  const std::string wire = sender == Sender::Curl ? vtl::bench::WireMessage(body) : std::string();
  TimeSends(state, body.size(), [&] {
    return sender == Sender::Vtl ? vtl::bench::SendWithVtl(server, body) == 0
                                 : vtl::bench::SendWithCurl(transport, wire);
  });
}

// From an English system, ASCII lines that go out as they are: nothing
// converted, so what is left is cutting lines, dot-stuffing and writing.
// libcurl is given the bytes VTLSendMail puts on the wire.
void SendAscii(benchmark::State& state, Sender sender) {
  vtl::bench::UseEnglishLocale();
  const std::string server = vtl::bench::BenchServer();
  const std::string body = vtl::bench::SampleBody(static_cast<size_t>(state.range(0)), Mix::Ascii);
  const std::string wire =
      sender == Sender::Curl ? vtl::bench::AsciiWireMessage(body) : std::string();
  if (sender == Sender::Curl && wire.empty()) {
    g_failed = true;
    state.SkipWithError("the ASCII message could not be made");
    return;
  }
  TimeSends(state, body.size(), [&] {
    return sender == Sender::Vtl ? vtl::bench::SendAsciiWithVtl(server, body) == 0
                                 : vtl::bench::SendWithCurl(Transport::Plain, wire);
  });
}

// The files the Attach benchmarks send, one of random bytes for each size,
// made when first asked for and removed at exit.
class Files {
 public:
  ~Files() {
    for (const auto& [size, path] : paths_) std::remove(path.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }

  // Empty when the file could not be made.
  std::string For(int64_t size) {
    if (auto found = paths_.find(size); found != paths_.end()) return found->second;
    if (dir_.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      std::string pattern =
          std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vtl-send-bench-XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr) return {};
      dir_ = pattern;
    }
    const std::string path = dir_ + "/attached-" + std::to_string(size) + ".bin";
    if (!vtl::bench::WriteRandomFile(path, static_cast<uint64_t>(size))) return {};
    return paths_[size] = path;
  }

 private:
  std::string dir_;
  std::map<int64_t, std::string> paths_;
};

Files g_files;

// A short text and a file of random bytes, from an English system:
// VTLSendMailEx reads and encodes the file as it sends it; libcurl as curl
// -F '=@FILE;encoder=base64' has it, which streams the file as well.
void Attach(benchmark::State& state, Sender sender) {
  vtl::bench::UseEnglishLocale();
  const std::string server = vtl::bench::BenchServer();
  const std::string path = g_files.For(state.range(0));
  if (path.empty()) {
    g_failed = true;
    state.SkipWithError("the file to attach could not be made");
    return;
  }
  TimeSends(state, static_cast<size_t>(state.range(0)), [&] {
    return sender == Sender::Vtl ? vtl::bench::SendFileWithVtl(server, path) == 0
                                 : vtl::bench::SendFileWithCurl(path);
  });
}

// What follows `name` in a header block, up to the line's end.
std::string_view HeaderValue(std::string_view headers, std::string_view name) {
  const size_t at = headers.find(name);
  if (at == std::string_view::npos) return {};
  const std::string_view rest = headers.substr(at + name.size());
  return rest.substr(0, rest.find("\r\n"));
}

// From a Japanese UTF-8 system: the typical text with an emoji in every
// line, which makes the whole mail UTF-8 in base64, beside the same text
// without them, which goes as ISO-2022-JP. The whole send, to smtp-sink.
void FromUtf8(benchmark::State& state, bool emoji) {
  const std::string server = vtl::bench::BenchServer();
  const std::string body = vtl::bench::SampleUtf8Body(static_cast<size_t>(state.range(0)), emoji);
  // Not timed: the mail really goes the way it is meant to measure.
  const std::string wire = vtl::bench::Utf8WireMessage(body);
  const std::string_view headers = std::string_view(wire).substr(0, wire.find("\r\n\r\n"));
  const std::string_view charset = HeaderValue(headers, "charset=");
  if (charset != (emoji ? "UTF-8" : "iso-2022-jp")) {
    g_failed = true;
    state.SkipWithError(emoji ? "the emoji body did not go as UTF-8"
                              : "the body without emoji did not go as ISO-2022-JP");
    return;
  }
  state.SetLabel(std::string(charset) + " " +
                 std::string(HeaderValue(headers, "Content-Transfer-Encoding: ")));
  state.counters["wire_bytes"] = static_cast<double>(wire.size());
  TimeSends(state, body.size(), [&] { return vtl::bench::SendFromUtf8(server, body) == 0; });
}

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // A small mail, then bodies of 64 KiB to 50 MiB; ours and libcurl's
  // side by side for each size.
  for (const int64_t size :
       {int64_t{256}, int64_t{64} << 10, int64_t{1} << 20, int64_t{10} << 20, int64_t{50} << 20}) {
    for (const Sender sender : {Sender::Vtl, Sender::Curl}) {
      benchmark::RegisterBenchmark(sender == Sender::Vtl ? "Send/vtl" : "Send/curl", Send, sender,
                                   Transport::Plain)
          ->Arg(size)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  // From an English system: an ASCII body, and a file attached.
  for (const Sender sender : {Sender::Vtl, Sender::Curl}) {
    const bool vtl = sender == Sender::Vtl;
    benchmark::RegisterBenchmark(vtl ? "SendAscii/vtl" : "SendAscii/curl", SendAscii, sender)
        ->Arg(256)
        ->Arg(int64_t{10} << 20)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(vtl ? "Attach/vtl" : "Attach/curl", Attach, sender)
        ->Arg(256)
        ->Arg(int64_t{10} << 20)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  for (const bool emoji : {true, false}) {
    benchmark::RegisterBenchmark(emoji ? "FromUtf8/emoji" : "FromUtf8/plain", FromUtf8, emoji)
        ->Arg(int64_t{1} << 20)
        ->Arg(256)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  if (!vtl::bench::TlsBenchServer().empty()) {
    for (const Sender sender : {Sender::Vtl, Sender::Curl}) {
      benchmark::RegisterBenchmark(sender == Sender::Vtl ? "SendTls/vtl" : "SendTls/curl", Send,
                                   sender, Transport::Smtps)
          ->Arg(256)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  curl_global_cleanup();
  return g_failed ? 1 : 0;
}
