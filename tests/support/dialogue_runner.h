// One send against the scripted server, with short time-outs, over a plain
// or a faulty connection: what the dialogue tests and the fault matrix run.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace vtl::test {

struct DialogueSetup {
  std::vector<std::string> server;  // the scripted server's turns
  // Every reply and send time-out of the client: far beyond what a slow
  // machine needs, unless a case sets a short one to see it run out.
  Millis timeout{60000};
  bool faulty = false;  // 3-byte sends, 2-byte receives, EINTR before every call
  bool japanese = false;
  bool utf8 = false;  // with `japanese`: a Japanese locale on UTF-8, not on code page 932
  std::string from = "a@example.com";
  std::string fromName = "Alice";
  std::string to = "b@example.com";
  std::string toName = "Bob";
  std::string subject = "Hello";
  std::string body = "Hi there";
};

struct DialogueOutcome {
  int result = -1;
  std::vector<std::string> transcript;  // as ScriptServer::Transcript gives it
  std::string data;                     // the first data block, or empty
  Millis elapsed{0};
};

DialogueOutcome RunDialogue(const DialogueSetup& setup);

}  // namespace vtl::test
