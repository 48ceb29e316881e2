// Through the exported VTLSendMail of the shared library, as a host calls
// it: real locale from the environment, real clock, and the port from the
// services database, which is 25.
#include <gtest/gtest.h>
#ifdef _WIN32
#include "platform/win/winsock.h"  // windows.h, after winsock2.h
#else
#include <pthread.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/hex.h"
#include "support/japanese_texts.h"
#include "support/script_server.h"
#include "vtl.h"

namespace {

// Port 25 of an address of its own in 127/8, so that no mail server of the
// machine is in the way. Binding it needs root.
constexpr const char* kAddress = "127.0.0.25";

std::string HeaderValue(const std::string& data, const std::string& name) {
  const size_t at = data.find("\r\n" + name + ": ");
  const size_t start = data.rfind(name + ": ", 0) == 0 ? name.size() + 2
                       : at == std::string::npos       ? std::string::npos
                                                       : at + name.size() + 4;
  if (start == std::string::npos) return {};
  return data.substr(start, data.find("\r\n", start) - start);
}

unsigned long ProcessId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

// On POSIX each test picks its locale through the environment. Windows reads
// the user's locale from the system, so there a test runs in the locale the
// run was started under, and skips what needs another one. A Japanese
// locale here is one on code page 932; not Japanese, one of another language.
bool UseJapaneseLocale(bool japanese) {
#ifdef _WIN32
  char name[16] = {};
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, name, sizeof name);
  return japanese ? std::string(name) == "JPN" && GetACP() == 932 : std::string(name) != "JPN";
#else
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  setenv("LANG", japanese ? "ja_JP.SJIS" : "C", 1);
  return true;
#endif
}

class ExportedSendMail : public ::testing::Test {
 protected:
  // Most tests care for no locale in particular; those that do say so.
  void SetUp() override { plainLocale_ = UseJapaneseLocale(false); }
  bool plainLocale_ = false;
};

TEST_F(ExportedSendMail, DeliversToPort25) {
  if (!plainLocale_) GTEST_SKIP() << "needs a locale that is not Japanese";
  vtl::test::ScriptServer server(vtl::test::kAcceptingScript, kAddress, 25);
  if (!server.listening()) GTEST_SKIP() << "port 25 needs root";
  EXPECT_EQ(VTL_SEND_OK, VTLSendMail(kAddress, "a@example.com", "Alice", "b@example.com", "Bob",
                                     "Hello", "Hi there\r\n"));
  const std::vector<std::string> expected = {"HELO 127.0.0.25",
                                             "MAIL FROM:<a@example.com>",
                                             "RCPT TO:<b@example.com>",
                                             "DATA",
                                             "<data>",
                                             "QUIT"};
  EXPECT_EQ(expected, server.Transcript());
  const std::string data = server.DataBlocks().at(0);
  EXPECT_EQ("\"Alice\" <a@example.com>", HeaderValue(data, "From"));
  EXPECT_EQ("", HeaderValue(data, "Content-Type"));
  // RFC 5322 3.3, with the zone as the true offset in minutes.
  EXPECT_TRUE(std::regex_match(
      HeaderValue(data, "Date"),
      std::regex(
          R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4})")))
      << HeaderValue(data, "Date");
  EXPECT_TRUE(
      std::regex_match(HeaderValue(data, "Message-ID"),
                       std::regex("<\\d{18}\\." + std::to_string(ProcessId()) + "\\.\\d+@[^>]+>")))
      << HeaderValue(data, "Message-ID");
}

TEST(ExportedSendMailJapanese, JapaneseLocaleSendsIso2022Jp) {
  if (!UseJapaneseLocale(true)) GTEST_SKIP() << "needs a Japanese locale";
  vtl::test::ScriptServer server(vtl::test::kAcceptingScript, kAddress, 25);
  if (!server.listening()) GTEST_SKIP() << "port 25 needs root";
  // "Yamada" in kanji, and hiragana A.
  EXPECT_EQ(VTL_SEND_OK, VTLSendMail(kAddress, "a@example.com", "\x8e\x52\x93\x63", "b@example.com",
                                     "Bob", "\x82\xa0", "\x82\xa0"));
  const std::string data = server.DataBlocks().at(0);
  EXPECT_EQ("text/plain; charset=iso-2022-jp", HeaderValue(data, "Content-Type"));
  EXPECT_EQ("=?ISO-2022-JP?B?GyRCJCIbKEI=?=", HeaderValue(data, "Subject"));
  EXPECT_NE(std::string::npos, data.find("\r\n\r\n\x1b$B$\"\x1b(B\r\n"));
  for (char c : data) EXPECT_EQ(0, c & 0x80);
}

// The message without its Date and Message-ID lines, which differ from
// send to send.
std::string WithoutDateAndId(const std::string& data) {
  std::string out;
  for (size_t pos = 0; pos < data.size();) {
    const size_t end = data.find("\r\n", pos);
    const size_t next = end == std::string::npos ? data.size() : end + 2;
    const std::string_view line = std::string_view(data).substr(pos, next - pos);
    if (!line.starts_with("Date: ") && !line.starts_with("Message-ID: ")) out.append(line);
    pos = next;
  }
  return out;
}

// What vtl::test::kJapaneseShiftJis and kJapaneseUtf8 give, from a@example.com
// to b@example.com, without Date and Message-ID.
const std::string kJapaneseMessage =
    "From: =?ISO-2022-JP?B?GyRCTmtMWhsoQiAbJEIyVjtSGyhC?= <a@example.com>\r\n"
    "To: =?ISO-2022-JP?B?GyRCOzNFRBsoQiAbJEJCQE86GyhC?= <b@example.com>\r\n"
    "Subject: "
    "=?ISO-2022-JP?B?GyRCIVobKEJ2dGwbJEIhW0Z8S1w4bCVhITwlayROQXc/"
    "LiVGJTklSCFKJUYlOSVIIUstISFBGyhC?=\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "Content-Type: text/plain; charset=iso-2022-jp\r\n"
    "X-Mailer: Vantrel\r\n"
    "\r\n"
    "\x1b$B;3EDMM\x1b(B\r\n"
    "\r\n"
    "\x1b$B%=I=G=$NJ8;z$H!\"%+!+%O!,!#!V!W$NH>3Q%+%J!#\x1b(B\r\n"
    "\x1b$B-!-\"-j-b-7!A\".!o\x1b(B100 \\ ~\r\n"
    "..\x1b$B@hF,$NE@\x1b(B\r\n"
    "plain ASCII line\r\n";

std::string SendJapaneseSample(const vtl::test::MailTexts& texts) {
  vtl::test::ScriptServer server(vtl::test::kAcceptingScript, kAddress, 25);
  if (!server.listening()) return {};
  EXPECT_EQ(VTL_SEND_OK, VTLSendMail(kAddress, "a@example.com", texts.fromName, "b@example.com",
                                     texts.toName, texts.subject, texts.body));
  const std::vector<std::string> blocks = server.DataBlocks();
  return blocks.empty() ? std::string() : WithoutDateAndId(blocks[0]);
}

// A Japanese user's mail is the same whether the host's texts come in code
// page 932 or in UTF-8.
TEST(ExportedSendMailJapanese, ShiftJisAndUtf8SystemsSendTheSameMail) {
#ifdef _WIN32
  // The process has one ANSI code page: this run sends from that one.
  char name[16] = {};
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, name, sizeof name);
  if (std::string(name) != "JPN" || (GetACP() != 932 && GetACP() != CP_UTF8))
    GTEST_SKIP() << "needs a Japanese locale on code page 932 or UTF-8";
  const std::string sent =
      SendJapaneseSample(GetACP() == 932 ? vtl::test::kJapaneseShiftJis : vtl::test::kJapaneseUtf8);
  if (sent.empty()) GTEST_SKIP() << "port 25 needs root";
  EXPECT_BYTES_EQ(kJapaneseMessage, sent) << "code page " << GetACP();
#else
  const struct {
    const char* lang;
    const vtl::test::MailTexts& texts;
  } kSystems[] = {
      {"ja_JP.SJIS", vtl::test::kJapaneseShiftJis},
      {"ja_JP.UTF-8", vtl::test::kJapaneseUtf8},
      {"ja_JP.utf8", vtl::test::kJapaneseUtf8},
  };
  for (const auto& system : kSystems) {
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    setenv("LANG", system.lang, 1);
    const std::string sent = SendJapaneseSample(system.texts);
    if (sent.empty()) GTEST_SKIP() << "port 25 needs root";
    EXPECT_BYTES_EQ(kJapaneseMessage, sent) << system.lang;
  }
#endif
}

#ifndef _WIN32
TEST(ExportedSendMailJapanese, EucJpLocalesConvertAndUnknownCodesetsAreReadAsUtf8) {
  // "日本語" in EUC-JP, under each name glibc's EUC-JP locales go by.
  for (const char* lang : {"ja_JP.eucJP", "ja_JP.ujis", "ja_JP"}) {
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    setenv("LANG", lang, 1);
    vtl::test::ScriptServer server(vtl::test::kAcceptingScript, kAddress, 25);
    if (!server.listening()) GTEST_SKIP() << "port 25 needs root";
    EXPECT_EQ(VTL_SEND_OK, VTLSendMail(kAddress, "a@example.com", "A", "b@example.com", "B",
                                       "\xC6\xFC\xCB\xDC\xB8\xEC", "x"));
    EXPECT_EQ("=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?=",
              HeaderValue(server.DataBlocks().at(0), "Subject"))
        << lang;
  }
  // A codeset iconv does not know: sent as from a locale that is not
  // Japanese, its bytes read as UTF-8.
  setenv("LANG", "ja_JP.x-unknown", 1);
  vtl::test::ScriptServer server(vtl::test::kAcceptingScript, kAddress, 25);
  if (!server.listening()) GTEST_SKIP() << "port 25 needs root";
  EXPECT_EQ(VTL_SEND_OK, VTLSendMail(kAddress, "a@example.com", "A", "b@example.com", "B",
                                     "\xC6\xFC\xCB\xDC\xB8\xEC", "x"));
  const std::string data = server.DataBlocks().at(0);
  EXPECT_EQ("text/plain; charset=UTF-8", HeaderValue(data, "Content-Type"));
  setenv("LANG", "C", 1);
}
#endif

TEST_F(ExportedSendMail, MessageIdsOfBackToBackSendsDiffer) {
  std::set<std::string> ids;
  for (int i = 0; i < 5; ++i) {
    vtl::test::ScriptServer server(vtl::test::kAcceptingScript, kAddress, 25);
    if (!server.listening()) GTEST_SKIP() << "port 25 needs root";
    ASSERT_EQ(VTL_SEND_OK,
              VTLSendMail(kAddress, "a@example.com", "A", "b@example.com", "B", "S", "x"));
    ids.insert(HeaderValue(server.DataBlocks().at(0), "Message-ID"));
  }
  EXPECT_EQ(5u, ids.size());
}

TEST_F(ExportedSendMail, RefusedRecipientIsReported) {
  vtl::test::ScriptServer server({"220 ready", "250 hi", "250 ok", "550 no such user", "221 bye"},
                                 kAddress, 25);
  if (!server.listening()) GTEST_SKIP() << "port 25 needs root";
  EXPECT_EQ(VTL_SEND_DIALOGUE_FAILED,
            VTLSendMail(kAddress, "a@example.com", "A", "nobody@example.com", "B", "S", "x"));
}

TEST_F(ExportedSendMail, CallerStringsAreNotWritten) {
  // Literals live in read-only memory: any write would crash the test.
  EXPECT_EQ(VTL_SEND_CONNECT_FAILED,
            VTLSendMail("127.0.0.26", "a@example.com", "A", "b@example.com", "B", "S",
                        "line one\r\nline two\r\n"));
}

// What VTLLastError gives the calling thread: the length it returns, and
// the text a buffer of the largest size needed (1025 bytes) receives.
struct Detail {
  int32_t length = -1;
  std::string text;
};

Detail LastDetail() {
  Detail d;
  d.length = VTLLastError(nullptr, 0);
  char buffer[1025];
  std::memset(buffer, '#', sizeof buffer);
  if (VTLLastError(buffer, sizeof buffer) == d.length)
    d.text.assign(buffer, strnlen(buffer, sizeof buffer));
  return d;
}

TEST(ExportedLastError, WritesAtMostSizeMinusOneBytesAndAZero) {
  // A long detail first: the shorter one after it must not keep its tail.
  const std::string longAddress = std::string(300, 'a') + "@example.com";
  EXPECT_EQ(VTL_SEND_BAD_ARGUMENT,
            VTLSendMail("127.0.0.1", longAddress.c_str(), "A", "b@example.com", "B", "S", "x"));
  EXPECT_EQ("fromAddress is longer than 254 bytes (312)", LastDetail().text);
  EXPECT_EQ(VTL_SEND_BAD_ARGUMENT,
            VTLSendMail("", "a@example.com", "A", "b@example.com", "B", "S", "x"));
  const std::string detail = "server is empty";
  const auto length = static_cast<int32_t>(detail.size());

  // No buffer, or no room: the length, and nothing written.
  EXPECT_EQ(length, VTLLastError(nullptr, 0));
  EXPECT_EQ(length, VTLLastError(nullptr, 64));
  char buffer[32];
  for (const int32_t size : {0, -1, INT32_MIN}) {
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(length, VTLLastError(buffer, size));
    EXPECT_EQ(std::string(sizeof buffer, '#'), std::string(buffer, sizeof buffer)) << size;
  }
  // size - 1 bytes at most and a zero, whatever the size; nothing after them.
  for (const int32_t size : {1, 2, length - 1, length, length + 1, length + 2, 32}) {
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(length, VTLLastError(buffer, size));
    const size_t n = std::min<size_t>(static_cast<size_t>(size) - 1, detail.size());
    EXPECT_EQ(detail.substr(0, n) + '\0' + std::string(sizeof buffer - n - 1, '#'),
              std::string(buffer, sizeof buffer))
        << size;
  }
  // Reading it changes nothing; the next call's detail replaces it.
  EXPECT_EQ(length, LastDetail().length);
  EXPECT_EQ(0, VTLInternet(nullptr, ""));
  EXPECT_EQ("target is empty", LastDetail().text);
}

TEST(ExportedLastError, EachThreadReadsItsOwn) {
  EXPECT_EQ(VTL_SEND_BAD_ARGUMENT,
            VTLSendMail("127.0.0.1", "a@example.com", "A", "b@example.com", "B", "", "x"));
  // Both calls are made before any thread reads. (A counter and yield, not
  // std::latch, whose wait once missed its wake-up under 32-bit Wine.)
  std::atomic<int> arrived{0};
  struct {
    std::atomic<int>& n;
    void arrive_and_wait() {
      ++n;
      while (n.load() < 3) std::this_thread::yield();
    }
  } called{arrived};
  int results[2] = {-1, -1};
  Detail read[3];
  std::thread emptyServer([&] {
    results[0] = VTLSendMail("", "a@example.com", "A", "b@example.com", "B", "S", "x");
    called.arrive_and_wait();
    read[0] = LastDetail();
  });
  std::thread nullFrom([&] {
    results[1] = VTLSendMail("127.0.0.1", nullptr, "A", "b@example.com", "B", "S", "x");
    called.arrive_and_wait();
    read[1] = LastDetail();
  });
  std::thread noCall([&] {
    called.arrive_and_wait();
    read[2] = LastDetail();
  });
  emptyServer.join();
  nullFrom.join();
  noCall.join();
  EXPECT_EQ(VTL_SEND_BAD_ARGUMENT, results[0]);
  EXPECT_EQ(VTL_SEND_BAD_ARGUMENT, results[1]);
  EXPECT_EQ(15, read[0].length);
  EXPECT_EQ("server is empty", read[0].text);
  EXPECT_EQ(19, read[1].length);
  EXPECT_EQ("fromAddress is null", read[1].text);
  // A thread that has made no call reads an empty detail.
  EXPECT_EQ(0, read[2].length);
  EXPECT_EQ("", read[2].text);
  // And this thread's is still its own.
  EXPECT_EQ("subject is empty", LastDetail().text);
}

#ifndef _WIN32
std::atomic<int> g_sendResult{-1};

TEST_F(ExportedSendMail, CancellingTheCallerWaitsUntilTheSendIsOver) {
  // The greeting comes late; the thread is cancelled while the call waits
  // for it. The mail still goes out, and the cancellation takes effect at
  // the thread's own next cancellation point.
  vtl::test::ScriptServer server({"<delay 800>220 ready", "250 hi", "250 ok", "250 ok",
                                  "354 go ahead", "250 queued", "221 bye"},
                                 kAddress, 25);
  if (!server.listening()) GTEST_SKIP() << "port 25 needs root";
  g_sendResult = -1;
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(
                   &thread, nullptr,
                   [](void*) -> void* {
                     g_sendResult = VTLSendMail(kAddress, "a@example.com", "A", "b@example.com",
                                                "B", "S", "x");
                     pthread_testcancel();
                     return nullptr;
                   },
                   nullptr));
  usleep(200'000);
  pthread_cancel(thread);
  void* exit = nullptr;
  pthread_join(thread, &exit);
  EXPECT_EQ(PTHREAD_CANCELED, exit);
  EXPECT_EQ(VTL_SEND_OK, g_sendResult.load());
  EXPECT_EQ(1u, server.DataBlocks().size());
}
#endif

#ifdef _WIN32
// The properties Windows shows for the file come from its version resource.
TEST(LibraryFile, CarriesItsVersionResource) {
  char path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(GetModuleHandleA("vtl.dll"), path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  ASSERT_GT(size, 0u) << path;
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));
  auto text = [&](const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
      return std::string();
    return std::string(value);
  };
  EXPECT_EQ("Vantrel", text("ProductName"));
  EXPECT_EQ("vtl.dll", text("OriginalFilename"));
  EXPECT_FALSE(text("FileDescription").empty());
  EXPECT_EQ(VTL_TEST_VERSION, text("FileVersion"));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
}
#endif

}  // namespace
