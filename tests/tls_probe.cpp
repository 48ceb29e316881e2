// tls_probe HOST PORT CA-FILE TIMEOUT-MS: connects to HOST, starts TLS
// checked against HOST with CA-FILE's roots ("-": the system's store), and
// once secured sends "ping" and reads one line back. Prints the TLS result
// code, then the line: "0 pong", "9".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
  using namespace vtl;
  if (argc != 5) {
    std::fprintf(stderr, "usage: tls_probe HOST PORT CA-FILE TIMEOUT-MS\n");
    return 2;
  }
  TlsPeer peer;
  peer.host = argv[1];
  peer.hostIsAddress = peer.host.find_first_not_of("0123456789.") == std::string::npos ||
                       peer.host.find(':') != std::string::npos;
  peer.caFile = std::string(argv[3]) == "-" ? "" : argv[3];
  peer.timeout = Millis{std::atoi(argv[4])};
  ConnectOutcome c = platform::SystemNetwork().Connect(
      peer.host, static_cast<uint16_t>(std::atoi(argv[2])), Millis{10000});
  if (c.result != 0) {
    std::printf("connect %d\n", c.result);
    return 1;
  }
  TlsOutcome tls = platform::StartTls(std::move(c.connection), peer);
  std::string line;
  if (tls.result == 0) {
    const IoResult sent = tls.connection->Send("ping\r\n", 6, Millis{10000});
    char buffer[64];
    while (sent.status == IoStatus::Ok && line.find('\n') == std::string::npos) {
      const IoResult r = tls.connection->Receive(buffer, sizeof buffer, Millis{10000});
      if (r.status == IoStatus::Interrupted) continue;
      if (r.status != IoStatus::Ok) break;
      line.append(buffer, r.bytes);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  }
  std::printf("%d%s%s\n", tls.result, line.empty() ? "" : " ", line.c_str());
  return 0;
}
