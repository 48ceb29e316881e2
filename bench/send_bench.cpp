// One send, end to end: VTLSendMail beside libcurl sending the same message
// bytes to the same SMTP server (smtp-sink on loopback), in one run, for a
// small Japanese mail and for bodies up to 50 MiB; and, when the TLS sink
// runs (vtl_tls_sink sets VTL_BENCH_TLS_SERVER), the small mail over smtps
// with a login (SendTls). Each benchmark also reports the median time of one
// send.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "mail.h"
#include "sample.h"

namespace {

using vtl::bench::Mix;
using vtl::bench::Transport;

enum class Sender { Vtl, Curl };

// A send that fails makes the run fail, so that CI notices.
bool g_failed = false;

void Send(benchmark::State& state, Sender sender, Transport transport) {
  const std::string server = vtl::bench::VtlServer(transport);
  const std::string body =
      vtl::bench::SampleBody(static_cast<size_t>(state.range(0)), Mix::Typical);
  const std::string wire = sender == Sender::Curl ? vtl::bench::WireMessage(body) : std::string();
  std::vector<double> millis;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool sent = sender == Sender::Vtl ? vtl::bench::SendWithVtl(server, body) == 0
                                            : vtl::bench::SendWithCurl(transport, wire);
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
