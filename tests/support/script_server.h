// A scripted SMTP server on loopback, for dialogue tests. It plays a list of
// turns and records what the client sent, one unit (command line or data
// block) at a time.
//
// A turn is a reply, with its lines separated by the two characters "\n";
// each line goes out with CR LF. Before the first turn the server reads
// nothing; before turn k it waits until the client has sent k units, so turn
// k answers unit k-1. Once the turns run out the server stays silent but
// keeps recording until the client closes. Prefixes change how a turn goes:
//   +          sent at once, in the same write as the turn before it
//   <bytewise> one byte per write, with a short pause between bytes
//   <lf>       lines end in a bare LF
//   <unended>  the last line goes without its line end
//   <pad N>    each line padded with 'x' to N bytes
//   <delay MS> waits MS milliseconds before sending
//   <held N>   waits for N units more than the turn answers: a client that
//              waits for this reply before its next command gets none
// and three turns stand alone: <close> closes the connection, <reset> resets
// it, and <stall> stops reading, leaving the connection open until the test
// asks for the transcript.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/sockets.h"

namespace vtl::test {

// The turns of a server that takes one message without complaint.
inline const std::vector<std::string> kAcceptingScript = {
    "220 ready", "250 hi", "250 ok", "250 ok", "354 go ahead", "250 queued", "221 bye"};

class ScriptServer {
 public:
  explicit ScriptServer(std::vector<std::string> turns, const std::string& host = "127.0.0.1",
                        uint16_t port = 0);
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  bool listening() const { return listener_ != kNoSocket; }
  uint16_t port() const { return port_; }

  // Waits (bounded) for the client to go, then gives what it sent: command
  // lines without their CR LF ("<bare LF>" marks a line that lacked the
  // CR), a data block as "<data>", a cut-off line as "<cut>...".
  std::vector<std::string> Transcript();
  // The data blocks, each up to and without its final ".\r\n".
  std::vector<std::string> DataBlocks();
  // Every byte the client sent.
  std::string Raw();

 private:
  void Serve();
  void Join();

  SocketsUser sockets_;  // first made, last gone
  std::vector<std::string> turns_;
  SocketHandle listener_ = kNoSocket;
  uint16_t port_ = 0;
  std::atomic<bool> accepted_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> units_;
  std::vector<std::string> data_;
  std::string raw_;
};

}  // namespace vtl::test
