// tls_probe HOST[,HOST...] PORT CA-FILE TIMEOUT-MS [faulty|trust-option=OPTION]:
// connects to HOST, starts TLS checked against HOST with CA-FILE's roots
// ("-": the system's store), and once secured sends "ping" and reads one
// line back. A HOST written HOST/PORT or HOST/PORT/CA-FILE goes there
// instead. Prints the TLS result code, then the line: "0 pong", "9"; "0
// (closed)" when the server sent close_notify instead; and the detail on
// the next line. Several hosts are tried in turn, in one process, so that a
// later one may resume the session of an earlier; one written FROM>TO
// rewrites the file TO in place with FROM's bytes instead, and prints
// nothing. With "faulty" the connection under TLS makes short transfers and
// is interrupted before every call; with trust-option=OPTION the hint of a
// certificate not trusted names OPTION, as a program's would.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "support/faulty_network.h"

namespace {

using namespace vtl;

constexpr std::string_view kTrustOption = "trust-option=";

// Rewrites `to` in place (the same file, as an editor that saves in place
// does) with the bytes of `from`.
int Rewrite(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return in && out.flush() ? 0 : 1;
}

int Probe(const std::string& target, int argc, char** argv) {
  if (const size_t to = target.find('>'); to != target.npos)
    return Rewrite(target.substr(0, to), target.substr(to + 1));
  TlsPeer peer;
  const size_t port = target.find('/'), ca = target.find('/', port + (port != target.npos));
  peer.host = target.substr(0, port);
  peer.port = static_cast<uint16_t>(
      std::atoi(port == target.npos ? argv[2] : target.substr(port + 1, ca - port - 1).c_str()));
  peer.hostIsAddress = peer.host.find_first_not_of("0123456789.") == std::string::npos ||
                       peer.host.find(':') != std::string::npos;
  peer.caFile = ca != target.npos             ? target.substr(ca + 1)
                : std::string(argv[3]) == "-" ? ""
                                              : argv[3];
  peer.timeout = Millis{std::atoi(argv[4])};
  ConnectOutcome c = platform::SystemNetwork().Connect(peer.host, peer.port, Millis{10000});
  if (c.result != 0) {
    std::printf("connect %d\n", c.result);
    return 1;
  }
  const std::string option = argc == 6 ? argv[5] : "";
  if (option.rfind(kTrustOption, 0) == 0) peer.trustOption = option.substr(kTrustOption.size());
  if (option == "faulty")
    c.connection = std::make_unique<test::FaultyConnection>(std::move(c.connection));
  TlsOutcome tls = platform::StartTls(std::move(c.connection), peer);
  std::string line;
  if (tls.result == 0) {
    const std::string ping = "ping\r\n";
    IoResult sent{IoStatus::Ok, 0};
    for (size_t done = 0; done < ping.size(); done += sent.bytes) {
      sent = tls.connection->Send(ping.data() + done, ping.size() - done, Millis{10000});
      if (sent.status == IoStatus::Interrupted) sent = {IoStatus::Ok, 0};
      if (sent.status != IoStatus::Ok) break;
    }
    char buffer[64];
    while (sent.status == IoStatus::Ok && line.find('\n') == std::string::npos) {
      const IoResult r = tls.connection->Receive(buffer, sizeof buffer, Millis{10000});
      if (r.status == IoStatus::Interrupted) continue;
      if (r.status == IoStatus::Closed && line.empty()) line = "(closed)";
      if (r.status != IoStatus::Ok) break;
      line.append(buffer, r.bytes);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  }
  std::printf("%d%s%s\n%s\n", tls.result, line.empty() ? "" : " ", line.c_str(),
              tls.detail.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && !(argc == 6 && (std::string(argv[5]) == "faulty" ||
                                   std::string(argv[5]).rfind(kTrustOption, 0) == 0))) {
    std::fprintf(stderr,
                 "usage: tls_probe HOST[,HOST...] PORT CA-FILE TIMEOUT-MS "
                 "[faulty|trust-option=OPTION]\n");
    return 2;
  }
  const std::string hosts = argv[1];
  for (size_t at = 0; at <= hosts.size();) {
    const size_t end = std::min(hosts.find(',', at), hosts.size());
    if (Probe(hosts.substr(at, end - at), argc, argv) != 0) return 1;
    at = end + 1;
  }
  return 0;
}
