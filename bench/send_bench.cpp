// One send, end to end: VTLSendMail beside libcurl sending the same message
// bytes to the same SMTP server (smtp-sink on loopback), in one run, for a
// small Japanese mail and for bodies up to 50 MiB; and, when the TLS sink
// runs (vtl_tls_sink sets VTL_BENCH_TLS_SERVER), the small mail over smtps
// with a login (SendTls). Each benchmark also reports the median time of one
// send. And from a Japanese UTF-8 system, a 1 MiB body that must go as
// UTF-8 (an emoji in every line) beside the same body without the emoji,
// which goes as ISO-2022-JP (FromUtf8).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
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
void TimeSends(benchmark::State& state, const std::string& body, SendOnce sendOnce) {
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
  state.counters["body_bytes"] = static_cast<double>(body.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void Send(benchmark::State& state, Sender sender, Transport transport) {
  const std::string server = vtl::bench::VtlServer(transport);
  const std::string body =
      vtl::bench::SampleBody(static_cast<size_t>(state.range(0)), Mix::Typical);
  const std::string wire = sender == Sender::Curl ? vtl::bench::WireMessage(body) : std::string();
  TimeSends(state, body, [&] {
    return sender == Sender::Vtl ? vtl::bench::SendWithVtl(server, body) == 0
                                 : vtl::bench::SendWithCurl(transport, wire);
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
  TimeSends(state, body, [&] { return vtl::bench::SendFromUtf8(server, body) == 0; });
}

}  // namespace

int main(int argc, char** argv) {
  vtl::bench::UseJapaneseLocale();
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
