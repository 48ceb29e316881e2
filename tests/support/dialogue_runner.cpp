#include "support/dialogue_runner.h"

#include <chrono>

#include "jtext/jtext.h"
#include "mail/session.h"
#include "support/faulty_network.h"
#include "support/fixed_time.h"
#include "support/script_server.h"

namespace vtl::test {

DialogueOutcome RunDialogue(const DialogueSetup& setup) {
  ScriptServer server(setup.server);
  DialogueOutcome outcome;
  if (!server.listening()) return outcome;

  mail::SendEnv env;
  env.locale = !setup.japanese ? LocaleInfo{"ENU", 1252, {}, {}}
               : setup.utf8    ? LocaleInfo{"JPN", 65001, {}, "UTF-8"}
                               : LocaleInfo{"JPN", 932, jtext::ShiftJisLeadBytes(), {}};
  env.charsets = platform::OpenCharsets;
  env.port = server.port();
  env.timeouts.connect = Millis{2000};
  env.timeouts.greeting = env.timeouts.mail = env.timeouts.rcpt = env.timeouts.data =
      env.timeouts.endOfData = env.timeouts.other = env.timeouts.send =
          env.timeouts.quitAfterFailure = setup.timeout;
  FaultyNetwork faulty(platform::SystemNetwork());
  env.network = setup.faulty ? static_cast<Network*>(&faulty) : &platform::SystemNetwork();
  env.clock = FixedTime;
  env.hostName = "client.example";
  env.processId = 42;
  env.sequence = 7;

  const auto start = std::chrono::steady_clock::now();
  outcome.result =
      mail::SendMail({"127.0.0.1", setup.from.c_str(), setup.fromName.c_str(), setup.to.c_str(),
                      setup.toName.c_str(), setup.subject.c_str(), setup.body.c_str()},
                     env);
  outcome.elapsed = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start);
  outcome.transcript = server.Transcript();
  const std::vector<std::string> data = server.DataBlocks();
  if (!data.empty()) outcome.data = data.front();
  return outcome;
}

}  // namespace vtl::test
