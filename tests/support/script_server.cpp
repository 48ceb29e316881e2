#include "support/script_server.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "support/hex.h"
#include "support/sockets.h"

namespace vtl::test {
namespace {

// No test waits on the server for longer than this.
constexpr int kSafetyMs = 300000;

struct Turn {
  bool withPrevious = false;
  bool close = false;
  bool reset = false;
  bool stall = false;
  bool bytewise = false;
  bool bareLf = false;
  size_t pad = 0;
  int delayMs = 0;
  size_t held = 0;
  bool unended = false;
  std::string firstLine;  // for telling whether DATA was accepted
  std::string bytes;
};

bool TakePrefix(std::string& s, const std::string& prefix) {
  if (s.rfind(prefix, 0) != 0) return false;
  s.erase(0, prefix.size());
  return true;
}

size_t TakeNumber(std::string& s) {
  const size_t end = s.find('>');
  const size_t n = std::strtoul(s.substr(0, end).c_str(), nullptr, 10);
  s.erase(0, end == std::string::npos ? s.size() : end + 1);
  return n;
}

Turn ParseTurn(std::string text) {
  Turn t;
  t.withPrevious = TakePrefix(text, "+");
  for (bool more = true; more;) {
    more = false;
    if (TakePrefix(text, "<bytewise>")) more = t.bytewise = true;
    if (TakePrefix(text, "<lf>")) more = t.bareLf = true;
    if (TakePrefix(text, "<unended>")) more = t.unended = true;
    if (TakePrefix(text, "<pad ")) more = (t.pad = TakeNumber(text), true);
    if (TakePrefix(text, "<delay ")) more = (t.delayMs = static_cast<int>(TakeNumber(text)), true);
    if (TakePrefix(text, "<held ")) more = (t.held = TakeNumber(text), true);
  }
  if (text == "<close>") {
    t.close = true;
    return t;
  }
  if (text == "<reset>") {
    t.reset = true;
    return t;
  }
  if (text == "<stall>") {
    t.stall = true;
    return t;
  }
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\\n", start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    if (t.firstLine.empty()) t.firstLine = line;
    if (line.size() < t.pad) line.append(t.pad - line.size(), 'x');
    t.bytes += line + (t.bareLf ? "\n" : "\r\n");
    if (end == std::string::npos) break;
    start = end + 2;
  }
  if (t.unended) t.bytes.erase(t.bytes.find_last_not_of("\r\n") + 1);
  return t;
}

bool SendAll(SocketHandle fd, const char* p, size_t n) {
  while (n > 0) {
    const long sent = SendSome(fd, p, n);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

}  // namespace

ScriptServer::ScriptServer(std::vector<std::string> turns, const std::string& host, uint16_t port)
    : turns_(std::move(turns)) {
  const SocketHandle fd = BoundSocket(host, port);
  if (fd == kNoSocket) return;
  if (::listen(fd, 4) != 0) {
    CloseSocket(fd);
    return;
  }
  port_ = LocalPort(fd);
  listener_ = fd;
  thread_ = std::thread([this] { Serve(); });
}

ScriptServer::~ScriptServer() {
  Join();
  if (listener_ != kNoSocket) CloseSocket(listener_);
}

void ScriptServer::Join() {
  if (!thread_.joinable()) return;
  // A client that is coming has connected by the time the test asks; a
  // server still waiting for one after a moment is woken and let go.
  for (int i = 0; i < 50 && !accepted_; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  // Also ends a stall.
  stop_ = true;
  thread_.join();
}

std::vector<std::string> ScriptServer::Transcript() {
  Join();
  std::lock_guard lock(mutex_);
  return units_;
}

std::vector<std::string> ScriptServer::DataBlocks() {
  Join();
  std::lock_guard lock(mutex_);
  return data_;
}

std::string ScriptServer::Raw() {
  Join();
  std::lock_guard lock(mutex_);
  return raw_;
}

void ScriptServer::Serve() {
  // Waits for the client in short slices, so that Join can call it off.
  bool ready = false;
  for (int waited = 0; !ready && !stop_ && waited < kSafetyMs; waited += 20)
    ready = WaitReadable(listener_, 20);
  if (!ready) return;
  const SocketHandle fd = ::accept(listener_, nullptr, nullptr);
  accepted_ = true;
  if (fd == kNoSocket) return;
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);

  std::vector<Turn> turns;
  for (const std::string& text : turns_) turns.push_back(ParseTurn(text));

  std::string pending;  // received, not yet cut into units
  size_t scanned = 0;   // how far `pending` is known to hold no terminator
  bool open = true;
  size_t unitCount = 0;
  // Reads until `want` units are in, or the client goes.
  auto readUnits = [&](size_t want) {
    while (open && unitCount < want) {
      // A unit that follows an accepted DATA is the data block.
      const bool inData = unitCount > 0 && unitCount < turns.size() && [&] {
        std::lock_guard lock(mutex_);
        return units_.back() == "DATA" && turns[unitCount].firstLine.rfind('3', 0) == 0;
      }();
      // An empty message is its final line alone.
      if (inData && pending.starts_with(".\r\n")) pending.insert(0, "\r\n");
      const std::string terminator = inData ? "\r\n.\r\n" : "\n";
      const size_t at = pending.find(terminator, scanned);
      if (at == std::string::npos && pending.size() >= terminator.size())
        scanned = pending.size() - terminator.size() + 1;
      if (at != std::string::npos) {
        std::lock_guard lock(mutex_);
        if (inData) {
          data_.push_back(at == 0 ? std::string() : pending.substr(0, at + 2));
          units_.push_back("<data>");
        } else if (at > 0 && pending[at - 1] == '\r') {
          units_.push_back(pending.substr(0, at - 1));
        } else {
          units_.push_back(pending.substr(0, at) + "<bare LF>");
        }
        pending.erase(0, at + terminator.size());
        scanned = 0;
        ++unitCount;
        continue;
      }
      char buffer[65536];
      const long n = WaitReadable(fd, kSafetyMs) ? ReceiveSome(fd, buffer, sizeof buffer) : 0;
      if (n <= 0) {
        open = false;
        std::lock_guard lock(mutex_);
        if (!pending.empty()) units_.push_back("<cut>" + Escape(pending.substr(0, 200)));
        break;
      }
      std::lock_guard lock(mutex_);
      raw_.append(buffer, static_cast<size_t>(n));
      pending.append(buffer, static_cast<size_t>(n));
    }
  };

  bool closed = false;
  for (size_t k = 0; k < turns.size() && open && !closed;) {
    readUnits(k + turns[k].held);
    if (!open) break;
    std::string batch;
    size_t next = k;
    do {
      const Turn& t = turns[next];
      if (t.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(t.delayMs));
      if (t.stall) {
        // Reads no more: the client's sends fill the buffers and block.
        SendAll(fd, batch.data(), batch.size());
        batch.clear();
        for (int waited = 0; !stop_ && waited < kSafetyMs; waited += 20)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        closed = true;
        break;
      }
      if (t.close || t.reset) {
        SendAll(fd, batch.data(), batch.size());
        batch.clear();
        if (t.reset) ResetOnClose(fd);
        closed = true;
        break;
      }
      if (t.bytewise) {
        SendAll(fd, batch.data(), batch.size());
        batch.clear();
        for (char c : t.bytes) {
          if (!SendAll(fd, &c, 1)) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      } else {
        batch += t.bytes;
      }
      ++next;
    } while (next < turns.size() && turns[next].withPrevious);
    SendAll(fd, batch.data(), batch.size());
    k = next;
  }
  if (!closed) readUnits(static_cast<size_t>(-1));  // silent: record until the client goes
  CloseSocket(fd);
}

}  // namespace vtl::test
