// One send against the scripted server, with short time-outs, over a plain
// or a faulty connection: what the dialogue tests and the fault matrix run.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mail/session.h"
#include "platform/platform.h"

namespace vtl::test {

struct DialogueSetup {
  std::vector<std::string> server;  // the scripted server's turns
  // The client's server argument; "{port}" stands for the scripted server's
  // port. A URL form secures the connection with FakeTls.
  std::string serverArg = "127.0.0.1";
  std::string hostName = "client.example";
  // Every reply and send time-out of the client: far beyond what a slow
  // machine needs, unless a case sets a short one to see it run out.
  Millis timeout{60000};
  // Changes to the time-outs made from `timeout`: a case that lets one
  // wait run out shortens that one alone.
  std::function<void(mail::Timeouts&)> adjust;
  bool faulty = false;  // 3-byte sends, 2-byte receives, EINTR before every call
  bool japanese = false;
  bool utf8 = false;  // with `japanese`: a Japanese locale on UTF-8, not on code page 932
  std::string from = "a@example.com";
  std::string fromName = "Alice";
  std::string to = "b@example.com";
  std::string toName = "Bob";
  std::string subject = "Hello";
  std::string body = "Hi there";
  // VTLSendMailEx instead: `from` and `to` are then lists, as are these.
  bool ex = false;
  std::string cc, bcc, attachments, headers;
  // The files the client can open, by path; and a fault that every file
  // opened shows while it is read: "shrink" (it ends half way), "grow" (a
  // byte more than its size), "unreadable" (an error half way), "rewritten"
  // (written to in place, its size unchanged).
  std::map<std::string, std::string> files;
  std::string fileFault;
  // The tokens a kept sign-in gives an XOAUTH2 URL without one: the first
  // as kept, each later one for a refresh; a refresh past the last is
  // refused as a grant the provider no longer takes. "none": no sign-in.
  std::vector<std::string> kept;
};

struct DialogueOutcome {
  int result = -1;
  std::vector<std::string> transcript;  // as ScriptServer::Transcript gives it
  std::string data;                     // the first data block, or empty
  std::string clear;                    // every byte the client sent before it started TLS
  std::string detail;                   // what the send said of its result
  std::string trace;                    // the trace the send gave, a line each
  Millis elapsed{0};
};

DialogueOutcome RunDialogue(const DialogueSetup& setup);

// A stand-in for TLS that the scripted server can play: the client sends
// "<tls HOST>", HOST being the name it would check the certificate against;
// the server answers "<tls>" for a handshake that succeeds and
// "<tls bad-certificate>" for a certificate the client rejects (9); any
// other answer, or none within the time-out, fails the handshake (8). The
// bytes then pass unchanged.
TlsOutcome FakeTls(std::unique_ptr<Connection> plain, const TlsPeer& peer);

}  // namespace vtl::test
