// Ten thousand sends in one process, half of them failing in varied ways:
// the open descriptors and the resident memory end where they started.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "jtext/jtext.h"
#include "mail/session.h"
#include "support/fixed_time.h"
#include "support/sockets.h"
#include "vtl.h"

namespace vtl::test {
namespace {

// A server for many connections, one after another. Each behaves as
// `next` says when it is accepted: 0 takes the mail; 1 refuses the
// recipient; 2 closes after the greeting; 3 resets after HELO.
class CyclingServer {
 public:
  CyclingServer() : listener_(BoundSocket("127.0.0.1", 0)) {
    if (listener_ == kNoSocket || ::listen(listener_, 16) != 0) return;
    port_ = LocalPort(listener_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CyclingServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != kNoSocket) CloseSocket(listener_);
  }
  uint16_t port() const { return port_; }
  std::atomic<size_t> next{0};

  // Waits (bounded) until the server has closed its side of the last
  // connection, so that its socket is not counted as the client's.
  void WaitIdle() const {
    for (int i = 0; i < 1000 && busy_; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  void Serve() {
    while (!stop_) {
      if (!WaitReadable(listener_, 50)) continue;
      busy_ = true;
      const SocketHandle s = ::accept(listener_, nullptr, nullptr);
      if (s != kNoSocket) {
        Converse(s, next);
        CloseSocket(s);
      }
      busy_ = false;
    }
  }

  // Reads one line (or, after 354, the whole data) and says `reply`.
  static bool Step(SocketHandle s, std::string& pending, const char* end, const char* reply) {
    while (pending.find(end) == std::string::npos) {
      char buffer[65536];
      if (!WaitReadable(s, 5000)) return false;
      const long n = ReceiveSome(s, buffer, sizeof buffer);
      if (n <= 0) return false;
      pending.append(buffer, static_cast<size_t>(n));
    }
    pending.erase(0, pending.find(end) + std::strlen(end));
    return SendSome(s, reply, std::strlen(reply)) > 0;
  }

  static void Converse(SocketHandle s, size_t behaviour) {
    const char* greeting = "220 ready\r\n";
    SendSome(s, greeting, std::strlen(greeting));
    if (behaviour == 2) return;  // closes after the greeting
    std::string pending;
    if (!Step(s, pending, "\r\n", "250 hi\r\n")) return;
    if (behaviour == 3) {
      ResetOnClose(s);
      return;
    }
    if (!Step(s, pending, "\r\n", "250 ok\r\n")) return;
    if (behaviour == 1) {
      if (!Step(s, pending, "\r\n", "550 no such user\r\n")) return;
      Step(s, pending, "\r\n", "221 bye\r\n");
      return;
    }
    if (!Step(s, pending, "\r\n", "250 ok\r\n") || !Step(s, pending, "\r\n", "354 go\r\n") ||
        !Step(s, pending, "\r\n.\r\n", "250 queued\r\n"))
      return;
    Step(s, pending, "\r\n", "221 bye\r\n");
  }

  SocketHandle listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> busy_{false};
  std::thread thread_;
};

size_t OpenDescriptors() {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Endurance, TenThousandSendsLeaveDescriptorsAndMemoryAsTheyWere) {
  CyclingServer server;
  ASSERT_NE(0, server.port());
  // A port known to have nothing listening.
  const SocketHandle probe = BoundSocket("127.0.0.1", 0);
  const uint16_t deadPort = LocalPort(probe);
  CloseSocket(probe);

  mail::SendEnv env;
  env.locale = {"JPN", 932, jtext::ShiftJisLeadBytes(), {}};
  env.network = &platform::SystemNetwork();
  env.clock = FixedTime;
  env.hostName = "client.example";
  env.timeouts.connect = env.timeouts.greeting = env.timeouts.other = env.timeouts.quit =
      env.timeouts.mail = env.timeouts.rcpt = env.timeouts.data = env.timeouts.endOfData =
          env.timeouts.send = Millis{5000};
  const std::string body = "\x82\xa0 line one\r\nline two\r\n" + std::string(2000, 'x');
  mail::MailArgs args{"127.0.0.1", "a@example.com",    "\x8e\x52\x93\x63", "b@example.com",
                      "Bob",       "\x82\xa0 subject", body.c_str()};
  mail::MailArgs empty = args;
  empty.subject = "";

  // Send n: even ones are delivered; of the odd ones, the server refuses
  // the recipient, closes, or resets, or nothing listens, or the subject
  // is empty.
  int results[8] = {};
  auto send = [&](int n) {
    const mail::MailArgs* what = &args;
    env.port = server.port();
    switch (n % 10) {
      case 1:
        server.next = 1;
        break;
      case 3:
        server.next = 2;
        break;
      case 5:
        server.next = 3;
        break;
      case 7:
        env.port = deadPort;
        break;
      case 9:
        what = &empty;
        break;
      default:
        server.next = 0;
        break;
    }
    ++results[mail::SendMail(*what, env)];
  };
  for (int n = 0; n < 200; ++n) send(n);  // warm up: caches, arenas, lazy loading
  server.WaitIdle();
  const size_t fdsBefore = OpenDescriptors();
  const long rssBefore = ResidentKiB();
  std::fill(std::begin(results), std::end(results), 0);
  for (int n = 0; n < 10000; ++n) send(n);
  server.WaitIdle();
  const size_t fdsAfter = OpenDescriptors();
  const long rssAfter = ResidentKiB();

  std::printf("results: 0:%d 4:%d 5:%d 7:%d; descriptors %zu -> %zu; resident %ld -> %ld KiB\n",
              results[0], results[4], results[5], results[7], fdsBefore, fdsAfter, rssBefore,
              rssAfter);
  EXPECT_EQ(5000, results[0]);
  EXPECT_EQ(1000, results[4]);
  EXPECT_EQ(1000, results[5]);
  EXPECT_EQ(3000, results[7]);
  EXPECT_EQ(fdsBefore, fdsAfter);
#ifndef VTL_SANITIZED
  // (A sanitizer keeps freed memory in quarantine: there it grows anyway.)
  EXPECT_LT(rssAfter - rssBefore, 1024) << "resident memory grew";
#endif
}

TEST(Concurrency, EightThreadsSendAHundredMailsEach) {
  // Every thread has a server of its own and sends through the same
  // process-wide network object; under ThreadSanitizer this is the race
  // check of the send path.
  constexpr int kThreads = 8;
  constexpr int kSends = 100;
  std::atomic<int> delivered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CyclingServer server;
      mail::SendEnv env;
      env.locale = t % 2 == 0 ? LocaleInfo{"JPN", 932, jtext::ShiftJisLeadBytes(), {}}
                              : LocaleInfo{"ENU", 1252, {}, {}};
      env.network = &platform::SystemNetwork();
      env.port = server.port();
      env.clock = FixedTime;
      env.hostName = "client.example";
      env.sequence = static_cast<uint64_t>(t);
      const std::string body = "thread " + std::to_string(t) + "\r\n\x82\xa0\r\n";
      const mail::MailArgs args{"127.0.0.1", "a@example.com", "A",         "b@example.com",
                                "B",         "\x82\xa0",      body.c_str()};
      for (int i = 0; i < kSends; ++i)
        if (mail::SendMail(args, env) == VTL_SEND_OK) ++delivered;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(kThreads * kSends, delivered.load());
}

}  // namespace
}  // namespace vtl::test
#endif
