// What the core needs from the operating system: a connection to a server,
// files to attach, the clock, the locale and its character sets, the host
// name and the services database. The definitions live in posix/ and win/;
// nothing here names an OS header.
#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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
  unsigned codePage = 0;       // the ANSI code page: 932 for Shift_JIS, 65001 for UTF-8; 0 for
                               // a POSIX codeset of neither kind
  std::bitset<256> leadBytes;  // the code page's lead bytes; none when it is single-byte
  std::string codeset;         // POSIX: the codeset by the name iconv knows it by; else empty
};

// What Charsets::Decode gives for bytes that are no character of the code page.
inline constexpr char32_t kBadSequence = 0xFFFFFFFF;

// The system's own character conversions, for Japanese mode under a code
// page other than 932. One object serves one send, on one thread.
class Charsets {
 public:
  virtual ~Charsets() = default;
  // Code page 932 for one character from U+0080 to U+FFFF (no surrogate), as
  // the system converts it and without a best-fit substitute: one byte as
  // 0x00XX, two as lead * 256 + trail; 0 when code page 932 has no such
  // character.
  virtual uint16_t Cp932Of(char32_t c) = 0;
  // Reads characters of the user's code page (never UTF-8: that is read by
  // the core) from the start of `text`, which runs to the end of the text
  // being converted; `startOfText` says a new text begins there. Puts at
  // most `capacity` characters (at least 1) into `out`, with kBadSequence
  // for each sequence of bytes that is no character, sets `count`, and
  // returns how many bytes it read.
  virtual size_t Decode(std::string_view text, bool startOfText, char32_t* out, size_t capacity,
                        size_t& count) = 0;
};

// A time-out as a detail says it: "300 s", "300 ms".
inline std::string TimeText(Millis t) {
  return t.count() % 1000 == 0 ? std::to_string(t.count() / 1000) + " s"
                               : std::to_string(t.count()) + " ms";
}

enum class IoStatus {
  Ok,           // some bytes were moved
  Interrupted,  // a signal interrupted the call before anything was moved; try again
  TimedOut,     // nothing could be moved within the time allowed
  Closed,       // the peer closed the connection (receive only); a file's end
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
  // How many bytes have arrived and wait to be read (FIONREAD); 0 when none
  // or when the connection cannot tell.
  virtual size_t Unread() { return 0; }
  // This end's address as an SMTP address literal, "[192.0.2.1]" or
  // "[IPv6:2001:db8::1]"; empty when it cannot be had.
  virtual std::string LocalAddressLiteral() { return {}; }
};

// A regular file opened for reading, owned: closed when destroyed. Like a
// Connection, each Read is one system call's worth, so the core's loop
// decides how much is held at once: an attachment is streamed, never read
// whole.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to `size` bytes: Ok with bytes > 0; Closed at the end of the
  // file; Failed on an error, with Why() saying it in words. An
  // interruption is retried inside.
  virtual IoResult Read(char* buffer, size_t size) = 0;
  virtual std::string Why() const = 0;
  // The file's size now, as the system says (to notice a file that changed
  // while it was sent); -1 when unknown.
  virtual int64_t CurrentSize() = 0;
  // Whether the file was written to since it was opened (its time of last
  // change moved): a file rewritten in place to the same size is no longer
  // the one being sent.
  virtual bool ChangedSinceOpened() = 0;
};

struct FileOpened {
  std::unique_ptr<InputFile> file;  // null when it could not be opened
  uint64_t size = 0;                // its size when opened
  // When null: the system's reason in English words, the same on both
  // systems for the same fault: "no such file or directory", "is a
  // directory", "permission denied", "not a regular file", ...
  std::string why;
};

struct ConnectOutcome {
  int result = 4;  // 0 connected, else the SendResult (1, 2, 3 or 4)
  std::unique_ptr<Connection> connection;
  // When not 0: why, in words, for each address tried ("127.0.0.1:25
  // connection refused; [::1]:25 no answer within 30 s"), or why the name
  // did not resolve. The caller adds the host and port asked for.
  std::string detail;
  std::string address;  // when 0: the address connected to, as "192.0.2.1:25"
};

// The server a TLS client checks the certificate against.
struct TlsPeer {
  std::string host;            // as the caller named it; an IPv6 address without brackets
  bool hostIsAddress = false;  // an IPv4 or IPv6 address: matched against the certificate's
                               // IP address entries, and no SNI is sent
  std::string caFile;          // a PEM file whose certificates are the only trusted roots;
                               // empty: the system's trust store
  Millis timeout{60'000};      // bounds the whole handshake
  uint16_t port = 0;           // the server's; a session is resumed with the same host and port
  // The option of the program that sends by which its user trusts a CA
  // ("--ca-file"), for the hint of a certificate not trusted; empty: the
  // system's own ways are named (SSL_CERT_FILE, the certificate stores).
  // (Initialised, so that a peer written without it is no warning.)
  std::string trustOption{};
};

struct TlsOutcome {
  int result = 8;  // 0 secured; 8 no TLS 1.2 or later session could be set up (a failed
                   // handshake, a server that does not speak TLS, a stall); 9 the certificate
                   // is not trusted for `host`; 6 no memory
  std::unique_ptr<Connection> connection;  // when 0: the secured connection
  // When not 0: why, in words (the certificate's fault with its dates,
  // names or issuer; an alert from the server; a server answering in
  // clear). When 0: the protocol version and cipher, and the certificate's
  // subject and issuer, for a trace.
  std::string detail;
};

class Network {
 public:
  virtual ~Network() = default;
  // Resolves host once, races its addresses (platform/race.h) within
  // `timeout` for all of them, and returns the first connection made.
  // Anything the sockets layer needs started for the connection is owned by
  // the connection.
  virtual ConnectOutcome Connect(const std::string& host, uint16_t port, Millis timeout) = 0;
};

// Where the sign-in's redirect comes back: a socket listening on the
// loopback interface only.
class Listener {
 public:
  virtual ~Listener() = default;
  virtual uint16_t Port() const = 0;
  // Waits up to `timeout` for the next connection: the connection, or null
  // with `status` TimedOut or Failed. Anything the sockets layer needs
  // started is owned by the listener and by each connection.
  virtual std::unique_ptr<Connection> Accept(Millis timeout, IoStatus& status) = 0;
};

struct ListenOutcome {
  std::unique_ptr<Listener> listener;  // null when no port could be had
  std::string why;                     // then: why, in words
};

// What became of a request to the user's protected storage.
enum class StoreStatus {
  Ok,
  Missing,  // nothing kept under that name
  Refused,  // kept where it may have been read or replaced: another owner, readable or
            // writable by others; never used
  Damaged,  // cannot be read back (not decrypted for this user, cut short)
  Failed,   // the storage cannot be reached or written
};

struct StoreOutcome {
  StoreStatus status = StoreStatus::Failed;
  std::string why;  // for all but Ok and Missing: what is wrong, in words (path, owner, mode)
};

namespace platform {

Network& SystemNetwork();
// Starts TLS as a client over `plain`, which the secured connection then
// owns. Every byte goes through `plain`'s Send and Receive, so whatever a
// test wraps around the socket stays in the path. The secured connection's
// Send and Receive keep the Connection contract, and its destruction sends
// close_notify without waiting for the peer's.
TlsOutcome StartTls(std::unique_ptr<Connection> plain, const TlsPeer& peer);
// For a program that ends right after its sends, called before any: the
// TLS library's clean-up at exit is left out, as the system frees it all
// anyway. (A library must not call it: its host may go on.)
void SkipTlsCleanupAtExit();
// Overwrites `size` bytes at `data` with zeros in a way the compiler cannot
// leave out: for credentials once they are sent.
void Wipe(void* data, size_t size) noexcept;
LocaleInfo UserLocale();
// Opens the file at `path` for reading. `path` is in the caller's bytes: on
// Windows, text of code page `codePage` (the ANSI code page's number, 932,
// 1252, or 65001 for UTF-8, where a path outside the ANSI code page can be
// written), opened shared for reading, writing and deletion, so that a
// document open in another program can still be sent; on POSIX the bytes
// as they are (`codePage` is not used). A directory, a device, a FIFO or a
// socket gives null with a why, and a FIFO without a writer does not hold
// the call up. Throws nothing but std::bad_alloc.
FileOpened OpenInputFile(std::string_view path, unsigned codePage);
// The conversions between the locale's code page and code page 932, or null
// when the system has none (a codeset iconv does not know, a code page
// Windows does not have). Throws std::bad_alloc when it runs out of memory.
std::unique_ptr<Charsets> OpenCharsets(const LocaleInfo& locale);
LocalTime Now();
std::string HostName();  // empty when the name cannot be had
uint16_t MailPort();     // the services entry "mail", else 25
unsigned long ProcessId();
// Whether standard input is the user's terminal (a console on Windows),
// where reading it would wait for typing rather than for a pipe or a file.
bool StandardInputIsTerminal();

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
// `detail` says which handler was tried and, when the request was not
// taken, why in words (no association, no such file, the opener's exit
// status).
bool OpenWithDefaultHandler(void* window, const char* target, std::string& detail);

#if defined(_WIN32)
// For the entry points that take UTF-16. A zero-terminated UTF-16 text in
// UTF-8, an unpaired surrogate as U+FFFD; null gives an empty string (a
// caller that tells null from empty looks itself).
std::string Utf8FromWide(const wchar_t* text);
// As OpenWithDefaultHandler, with a UTF-16 target handed to the shell as
// it is, so that a name outside the ANSI code page opens too.
bool OpenWithDefaultHandlerWide(void* window, const wchar_t* target, std::string& detail);
#endif

// Listens on 127.0.0.1 on a port the system picks, and on [::1] on the
// same port where it can; never on another interface.
ListenOutcome ListenOnLoopback();
// Fills `size` bytes from the system's cryptographic random source; false
// when it cannot (the bytes are then not to be used).
bool RandomBytes(unsigned char* out, size_t size) noexcept;
// SHA-256 (FIPS 180-4) of `data`.
void Sha256(std::string_view data, unsigned char (&digest)[32]);

// The user's protected storage, one item per `name` (a name safe on every
// file system, made by the caller). Only this user can read an item:
// POSIX: a file of mode 0600 in $XDG_STATE_HOME/vtl/grants (by default
// ~/.local/state/vtl/grants), made 0700, written to a temporary file and
// renamed, and refused when it or its folder belongs to another user or
// others may read or write it; Windows: a file under
// %LOCALAPPDATA%\vtl\grants encrypted with DPAPI for the current user.
// Two writers at once leave one whole item, the last one's.
// ReadKept replaces `out` (wiping what it held) with the item's bytes; the
// caller wipes them after use.
StoreOutcome ReadKept(std::string_view name, std::string& out);
StoreOutcome WriteKept(std::string_view name, std::string_view bytes);
// Missing when there was none.
StoreOutcome RemoveKept(std::string_view name);
// Where the items are kept, for a detail.
std::string KeptFolder();

// The detail of the calling thread's last exported call: one line of
// printable ASCII of at most kMaxDetail bytes.
inline constexpr size_t kMaxDetail = 1024;
struct DetailSlot {
  size_t length;
  char text[kMaxDetail];
};
// The calling thread's slot, zeroed when first had; null when none can be
// had. It lives in storage that needs nothing done when the thread ends or
// the library is unloaded before it does: hosts unload DLLs while their
// threads live on, and a thread-exit destructor left in an unloaded DLL
// would crash them later.
DetailSlot* ThreadDetailSlot() noexcept;

}  // namespace platform
}  // namespace vtl
