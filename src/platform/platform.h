// What the core needs from the operating system: a connection to a server,
// the clock, the locale, the host name and the services database. The
// definitions live in posix/ and win/; nothing here names an OS header.
#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vtl {

using Millis = std::chrono::milliseconds;

// Local wall-clock time, with the offset from UTC in force at that instant
// (daylight-saving time included).
struct LocalTime {
  int year = 1970;
  int month = 1;      // 1 = January
  int day = 1;        // day of the month
  int dayOfWeek = 4;  // 0 = Sunday
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int utcOffsetMinutes = 0;  // local time minus UTC: +540 in Japan, -300 in New York in winter
};

// The user's locale as the mail sender sees it.
struct LocaleInfo {
  std::string abbrevLangName;  // three-letter language code, "JPN" for Japanese
  unsigned codePage = 0;       // the ANSI code page: 932 for Shift_JIS
  std::bitset<256> leadBytes;  // the code page's lead bytes; none when it is single-byte
};

enum class IoStatus {
  Ok,           // some bytes were moved
  Interrupted,  // a signal interrupted the call before anything was moved; try again
  TimedOut,     // nothing could be moved within the time allowed
  Closed,       // the peer closed the connection (receive only)
  Failed,       // any other error: reset, broken pipe, ...
};

struct IoResult {
  IoStatus status = IoStatus::Failed;
  size_t bytes = 0;
};

// One connected stream. Each call is a single system call's worth of work,
// so a caller must loop over short transfers and interruptions itself; that
// keeps the loops in the core, where tests can reach them.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual IoResult Send(const char* data, size_t size, Millis timeout) = 0;
  virtual IoResult Receive(char* buffer, size_t size, Millis timeout) = 0;
};

struct ConnectOutcome {
  int result = 4;  // 0 connected, else the SendResult (1, 2, 3 or 4)
  std::unique_ptr<Connection> connection;
};

class Network {
 public:
  virtual ~Network() = default;
  // Resolves host, tries every address in turn (each bounded by timeout) and
  // returns the first connection made. Anything the sockets layer needs
  // started for the connection is owned by the connection.
  virtual ConnectOutcome Connect(const std::string& host, uint16_t port, Millis timeout) = 0;
};

namespace platform {

Network& SystemNetwork();
LocaleInfo UserLocale();
LocalTime Now();
std::string HostName();  // empty when the name cannot be had
uint16_t MailPort();     // the services entry "mail", else 25
unsigned long ProcessId();

// Holds off the cancellation of the calling thread (POSIX threads) while
// it lives: a cancellation at one of the call's waits would unwind through
// the C boundary. A cancellation requested meanwhile takes effect after.
class NoCancellation {
 public:
  NoCancellation();
  ~NoCancellation();
  NoCancellation(const NoCancellation&) = delete;
  NoCancellation& operator=(const NoCancellation&) = delete;

 private:
  int old_ = 0;
};

// Asks the desktop to open `target` (not null, not empty) with its default
// handler, for `window` (may be null); true when the request was taken.
bool OpenWithDefaultHandler(void* window, const char* target);

}  // namespace platform
}  // namespace vtl
