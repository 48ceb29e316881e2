#include "support/dialogue_runner.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "jtext/jtext.h"
#include "mail/session.h"
#include "support/faulty_network.h"
#include "support/fixed_time.h"
#include "support/script_server.h"
#include "vtl.h"

namespace vtl::test {
namespace {

class PassThrough final : public Connection {
 public:
  explicit PassThrough(std::unique_ptr<Connection> inner) : inner_(std::move(inner)) {}
  IoResult Send(const char* data, size_t size, Millis timeout) override {
    return inner_->Send(data, size, timeout);
  }
  IoResult Receive(char* buffer, size_t size, Millis timeout) override {
    return inner_->Receive(buffer, size, timeout);
  }
  size_t Unread() override { return inner_->Unread(); }
  std::string LocalAddressLiteral() override { return inner_->LocalAddressLiteral(); }

 private:
  std::unique_ptr<Connection> inner_;
};

// Names under .test (RFC 6761), with or without a trailing dot, lead to
// the scripted server on 127.0.0.1; the resolver is asked for no other.
class TestNames final : public Network {
 public:
  explicit TestNames(Network& inner) : inner_(inner) {}
  ConnectOutcome Connect(const std::string& host, uint16_t port, Millis timeout) override {
    const bool test = host.ends_with(".test") || host.ends_with(".test.");
    return inner_.Connect(test ? "127.0.0.1" : host, port, timeout);
  }

 private:
  Network& inner_;
};

// A file held in memory, which shows the fault asked for as it is read.
class MemoryFile final : public InputFile {
 public:
  MemoryFile(std::string content, const std::string& fault)
      : content_(std::move(content)), fault_(fault) {
    if (fault_ == "shrink") content_.resize(content_.size() / 2);
    if (fault_ == "grow") content_.push_back('+');
  }
  IoResult Read(char* buffer, size_t size) override {
    if (fault_ == "unreadable" && at_ > 0) return {IoStatus::Failed, 0};
    const size_t n = std::min({size, content_.size() - at_, size_t{1000}});
    if (n == 0) return {IoStatus::Closed, 0};
    std::copy_n(content_.data() + at_, n, buffer);
    at_ += n;
    return {IoStatus::Ok, n};
  }
  std::string Why() const override { return "input/output error"; }
  int64_t CurrentSize() override { return static_cast<int64_t>(content_.size()); }
  bool ChangedSinceOpened() override { return fault_ == "rewritten"; }

 private:
  std::string content_;
  std::string fault_;
  size_t at_ = 0;
};

}  // namespace

TlsOutcome FakeTls(std::unique_ptr<Connection> plain, const TlsPeer& peer) {
  const auto deadline = std::chrono::steady_clock::now() + peer.timeout;
  auto left = [&] {
    return std::chrono::ceil<Millis>(deadline - std::chrono::steady_clock::now());
  };
  std::string hello = "<tls " + peer.host + ">\r\n";
  for (std::string_view rest = hello; !rest.empty();) {
    const IoResult r = plain->Send(rest.data(), rest.size(), left());
    if (r.status == IoStatus::Interrupted) continue;
    if (r.status != IoStatus::Ok || left() <= Millis::zero()) return {8, nullptr, "no hello"};
    rest.remove_prefix(r.bytes);
  }
  // One byte at a time: what follows the answer is no longer the stand-in's.
  std::string answer;
  while (answer.empty() || answer.back() != '\n') {
    char c = 0;
    const IoResult r = plain->Receive(&c, 1, left());
    if (r.status == IoStatus::Interrupted) continue;
    if (r.status != IoStatus::Ok || left() <= Millis::zero() || answer.size() > 100)
      return {8, nullptr, "no answer"};
    answer += c;
  }
  if (answer == "<tls bad-certificate>\r\n") return {9, nullptr, "a bad certificate"};
  if (answer != "<tls>\r\n") return {8, nullptr, "not the stand-in's answer"};
  return {0, std::make_unique<PassThrough>(std::move(plain)), "stand-in TLS"};
}

DialogueOutcome RunDialogue(const DialogueSetup& setup) {
  ScriptServer server(setup.server);
  DialogueOutcome outcome;
  if (!server.listening()) return outcome;

  mail::SendEnv env;
  env.locale = !setup.japanese ? LocaleInfo{"ENU", 1252, {}, "CP1252"}
               : setup.utf8    ? LocaleInfo{"JPN", 65001, {}, "UTF-8"}
                               : LocaleInfo{"JPN", 932, jtext::ShiftJisLeadBytes(), {}};
  env.charsets = platform::OpenCharsets;
  // A plain server argument that names the port must reach the server by
  // that alone: the mail port is then one nothing listens on.
  const bool portInArgument = setup.serverArg.find("://") == std::string::npos &&
                              setup.serverArg.find("{port}") != std::string::npos;
  env.port = portInArgument ? 9 : server.port();
  env.tls = FakeTls;
  env.timeouts.connect = Millis{2000};
  env.timeouts.handshake = setup.timeout;
  env.timeouts.greeting = env.timeouts.urlGreeting = env.timeouts.mail = env.timeouts.rcpt =
      env.timeouts.data = env.timeouts.endOfData = env.timeouts.other = env.timeouts.send =
          env.timeouts.quit = setup.timeout;
  if (setup.adjust) setup.adjust(env.timeouts);
  TestNames names(platform::SystemNetwork());
  FaultyNetwork faulty(names);
  env.network = setup.faulty ? static_cast<Network*>(&faulty) : &names;
  env.clock = FixedTime;
  env.hostName = setup.hostName;
  env.processId = 42;
  env.sequence = 7;

  env.trace = [&outcome](mail::TraceKind kind, std::string_view text) {
    outcome.trace
        .append(kind == mail::TraceKind::Sent       ? "C: "
                : kind == mail::TraceKind::Received ? "S: "
                                                    : "* ")
        .append(text)
        .append("\n");
  };
  const auto start = std::chrono::steady_clock::now();
  std::string serverArg = setup.serverArg;
  if (const size_t at = serverArg.find("{port}"); at != std::string::npos)
    serverArg.replace(at, 6, std::to_string(server.port()));
  size_t keptGiven = 0;
  if (!setup.kept.empty())
    env.keptToken = [&setup, &keptGiven](std::string_view user, bool refresh, mail::Secret& token,
                                         bool& fresh, std::string& why) {
      if (setup.kept[0] == "none" || keptGiven >= setup.kept.size()) {
        why =
            setup.kept[0] == "none" ? "no sign-in kept for " + std::string(user) : "sign in again";
        return VTL_SEND_AUTH_FAILED;
      }
      fresh = refresh;
      token.Append(setup.kept[keptGiven++]);
      return VTL_SEND_OK;
    };
  env.openFile = [&setup](std::string_view path, unsigned) {
    FileOpened opened;
    const auto it = setup.files.find(std::string(path));
    if (it == setup.files.end()) {
      opened.why = "no such file or directory";
      return opened;
    }
    opened.size = it->second.size();
    opened.file = std::make_unique<MemoryFile>(it->second, setup.fileFault);
    return opened;
  };
  // An empty list stands for a null argument.
  auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  outcome.result =
      setup.ex
          ? mail::SendMailEx({serverArg.c_str(), setup.from.c_str(), orNull(setup.to),
                              orNull(setup.cc), orNull(setup.bcc), setup.subject.c_str(),
                              setup.body.c_str(), orNull(setup.attachments), orNull(setup.headers)},
                             env, &outcome.detail)
          : mail::SendMail(
                {serverArg.c_str(), setup.from.c_str(), setup.fromName.c_str(), setup.to.c_str(),
                 setup.toName.c_str(), setup.subject.c_str(), setup.body.c_str()},
                env, &outcome.detail);
  outcome.elapsed = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start);
  outcome.transcript = server.Transcript();
  const std::vector<std::string> data = server.DataBlocks();
  if (!data.empty()) outcome.data = data.front();
  outcome.clear = server.Raw();
  outcome.clear.resize(std::min(outcome.clear.size(), outcome.clear.find("<tls")));
  return outcome;
}

}  // namespace vtl::test
