// The POSIX platform layer against the real system: locale names, the
// clock's zone offset, the services database, name resolution, TLS,
// files that are no files to attach, the loopback listener and the
// user's protected storage. Files the system reads are swapped
// only inside a child's own mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>

#include "mail/session.h"
#include "platform/platform.h"
#include "platform/posix/locale_name.h"
#include "platform/race.h"
#include "support/child.h"
#include "support/faulty_network.h"
#include "support/loopback_exchange.h"
#include "support/scratch_dir.h"
#include "support/script_server.h"
#include "vtl.h"

namespace vtl::platform {
namespace {

constexpr int kNoNamespace = 100;
constexpr int kNoIpv6 = 101;
constexpr int kNoLocale = 102;

// Runs `body` in a child process in which `path` reads as `content`, and
// returns the child's exit status, or kNoNamespace when the file cannot be
// swapped here (not root, or no mount namespaces).
template <class F>
int WithFileAs(const char* path, const std::string& content, F body) {
  char temp[] = "/tmp/vtl-file-XXXXXX";
  const int fd = mkstemp(temp);
  if (fd < 0) return kNoNamespace;
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    return kNoNamespace;
  close(fd);
  const int status = test::InChild([&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(temp, path, nullptr, MS_BIND, nullptr) != 0)
      return kNoNamespace;
    return body();
  });
  unlink(temp);
  return status;
}

TEST(LocaleName, JapaneseShiftJisNamesGiveJpnAnd932) {
  for (const char* name : {"ja_JP.SJIS", "ja_JP.Shift_JIS", "ja_JP.CP932", "ja_JP.sjis",
                           "ja_JP.SJIS@latin", "JA_jp.cp932", "ja.SJIS"}) {
    const LocaleInfo info = ParseLocaleName(name);
    EXPECT_EQ("JPN", info.abbrevLangName) << name;
    EXPECT_EQ(932u, info.codePage) << name;
  }
}

TEST(LocaleName, UtfEightNamesGive65001) {
  for (const char* name :
       {"ja_JP.UTF-8", "ja_JP.utf8", "ja_JP.UTF8", "ja.utf-8", "ja_JP.UTF-8@x"}) {
    const LocaleInfo info = ParseLocaleName(name);
    EXPECT_EQ("JPN", info.abbrevLangName) << name;
    EXPECT_EQ(65001u, info.codePage) << name;
    EXPECT_TRUE(info.leadBytes.none()) << name;
  }
  EXPECT_EQ(65001u, ParseLocaleName("en_US.UTF-8").codePage);
}

TEST(LocaleName, OtherCodesetsAreKeptByName) {
  const struct {
    const char* name;
    const char* codeset;
  } kCases[] = {
      {"ja_JP.eucJP", "eucJP"},
      {"ja_JP.ujis", "ujis"},
      {"ja_JP.EUC-JP@mod", "EUC-JP"},
      // glibc's Japanese locales without a codeset are EUC-JP.
      {"ja_JP", "EUC-JP"},
      {"ja", "EUC-JP"},
      {"ja_JP@mod", "EUC-JP"},
      {"jpn", "EUC-JP"},  // not the calling process's own codeset
      {"ja_JP.x-unknown", "x-unknown"},
  };
  for (const auto& c : kCases) {
    const LocaleInfo info = ParseLocaleName(c.name);
    EXPECT_EQ("JPN", info.abbrevLangName) << c.name;
    EXPECT_EQ(0u, info.codePage) << c.name;
    EXPECT_EQ(c.codeset, info.codeset) << c.name;
  }
  for (const char* name : {"C", "POSIX", "en_US.UTF-8", "de_DE.SJIS", "en", ""}) {
    EXPECT_NE("JPN", ParseLocaleName(name).abbrevLangName) << name;
  }
  EXPECT_EQ(932u, ParseLocaleName("de_DE.SJIS").codePage);
  EXPECT_EQ("", ParseLocaleName("en_US").codeset);
}

TEST(LocaleName, DoubleByteCodesetsHaveTheLeadBytesWindowsGives) {
  const struct {
    const char* name;
    unsigned first, count;  // the lowest lead byte and how many there are
  } kCases[] = {
      {"zh_CN.GBK", 0x81, 126},      {"zh_CN.gb18030", 0x81, 126},    {"zh_CN.GB2312", 0x81, 126},
      {"zh_TW.BIG5", 0x81, 126},     {"zh_HK.BIG5-HKSCS", 0x81, 126}, {"ko_KR.EUC-KR", 0x81, 126},
      {"ko_KR.euckr", 0x81, 126},    {"en_US.eucJP", 0x8E, 95},       {"zh_TW.EUC-TW", 0x8E, 95},
      {"zh_TW", 0x81, 126},          {"ko_KR@mod", 0x81, 126},  // glibc's default codesets
      {"de_DE.ISO-8859-1", 0x81, 0}, {"zh_CN.UTF-8", 0x81, 0},
  };
  for (const auto& c : kCases) {
    const std::bitset<256> lead = ParseLocaleName(c.name).leadBytes;
    EXPECT_EQ(c.count, lead.count()) << c.name;
    EXPECT_EQ(c.count > 0, lead[c.first] && !lead[c.first - 1] && lead[0xFE]) << c.name;
  }
}

TEST(LocaleName, FirstNonEmptyOfLcAllLcCtypeLangWins) {
  EXPECT_EQ("a", PickLocaleName("a", "b", "c"));
  EXPECT_EQ("b", PickLocaleName("", "b", "c"));
  EXPECT_EQ("c", PickLocaleName(nullptr, "", "c"));
  EXPECT_EQ("C", PickLocaleName(nullptr, nullptr, nullptr));
}

TEST(LocaleName, UserLocaleReadsTheEnvironment) {
  setenv("LC_ALL", "", 1);
  setenv("LC_CTYPE", "ja_JP.SJIS", 1);
  setenv("LANG", "en_US.UTF-8", 1);
  EXPECT_EQ(932u, UserLocale().codePage);
  unsetenv("LC_CTYPE");
  EXPECT_EQ(65001u, UserLocale().codePage);
  setenv("LANG", "ja_JP.eucJP", 1);
  EXPECT_EQ("eucJP", UserLocale().codeset);
  unsetenv("LC_ALL");
  setenv("LANG", "C", 1);
}

class ZoneTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
  int OffsetIn(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
    return Now().utcOffsetMinutes;
  }
};

TEST_F(ZoneTest, OffsetIsExactToTheMinute) {
  EXPECT_EQ(0, OffsetIn("UTC0"));
  EXPECT_EQ(540, OffsetIn("JST-9"));
  EXPECT_EQ(345, OffsetIn("NPT-5:45"));
  EXPECT_EQ(-210, OffsetIn("NST3:30"));
}

TEST_F(ZoneTest, OffsetIncludesDaylightSavingTime) {
  // Daylight saving from 1 January to 31 December: in force almost all year.
  const int offset = OffsetIn("AAA3BBB,J1/0,J365/25");
  EXPECT_EQ(-120, offset);
  // And never: the standard offset.
  EXPECT_EQ(-180, OffsetIn("AAA3"));
}

TEST_F(ZoneTest, LocalFieldsMatchTheOffset) {
  setenv("TZ", "NPT-5:45", 1);
  tzset();
  const std::time_t before = std::time(nullptr);
  const LocalTime t = Now();
  std::tm utc{};
  gmtime_r(&before, &utc);
  const int localMinutes = t.hour * 60 + t.minute;
  const int utcMinutes = utc.tm_hour * 60 + utc.tm_min;
  const int diff = ((localMinutes - utcMinutes) % 1440 + 1440) % 1440;
  EXPECT_NEAR(345, diff, 1);
  EXPECT_GE(t.millisecond, 0);
  EXPECT_LT(t.millisecond, 1000);
}

TEST(Services, MailEntryGivesThePort) {
  const int result = WithFileAs("/etc/services", "smtp 2525/tcp mail\n",
                                [] { return MailPort() == 2525 ? 0 : 1; });
  if (result == kNoNamespace) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(0, result);
}

TEST(Services, NoMailEntryGives25) {
  const int result =
      WithFileAs("/etc/services", "ftp 21/tcp\n", [] { return MailPort() == 25 ? 0 : 1; });
  if (result == kNoNamespace) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(0, result);
}

TEST(HostName, IsTheSystemsName) {
  char name[256] = {};
  ASSERT_EQ(0, gethostname(name, sizeof name - 1));
  EXPECT_EQ(std::string(name), HostName());
}

TEST(Resolution, ASilentFirstAddressHoldsNothingUp) {
  // multi.test names an IPv6 and an IPv4 address, as a name whose IPv6
  // route drops every packet would; the first one the resolver gives is
  // silent, so only the race reaches the server in time.
  const int result = WithFileAs("/etc/hosts", "::1 multi.test\n127.0.0.1 multi.test\n", [] {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo("multi.test", "25", &hints, &list) != 0 || list == nullptr ||
        list->ai_next == nullptr)
      return 2;
    char first[64] = {};
    getnameinfo(list->ai_addr, list->ai_addrlen, first, sizeof first, nullptr, 0, NI_NUMERICHOST);
    freeaddrinfo(list);
    const test::SilentListener silent(first);
    if (silent.port() == 0) return kNoIpv6;
    test::ScriptServer server(test::kAcceptingScript,
                              std::string(first) == "::1" ? "127.0.0.1" : "::1", silent.port());
    if (!server.listening()) return std::string(first) == "::1" ? 3 : kNoIpv6;
    mail::SendEnv env;
    env.port = server.port();
    env.network = &SystemNetwork();
    env.clock = Now;
    env.timeouts.connect = Millis{120'000};  // waited out, were the addresses tried in turn
    const auto start = std::chrono::steady_clock::now();
    const int sent =
        mail::SendMail({"multi.test", "a@example.com", "A", "b@example.com", "B", "S", "x"}, env);
    if (std::chrono::steady_clock::now() - start > Millis{60'000}) return 4;
    return sent == VTL_SEND_OK && server.Transcript().size() == 6 ? 0 : 10 + sent;
  });
  if (result == kNoNamespace) GTEST_SKIP() << "no mount namespace here";
  if (result == kNoIpv6) GTEST_SKIP() << "no IPv6 loopback here";
  EXPECT_EQ(0, result);
}

// The resolver's reason is in words of our own: the C library's are
// translated in a Japanese locale, and then not ASCII.
TEST(Resolution, AnUnknownNameIsToldInEnglishInAJapaneseLocale) {
  // Only the hosts file is asked, from a network of the child's own: no packet leaves.
  const int result = WithFileAs("/etc/nsswitch.conf", "hosts: files\n", [] {
    if (unshare(CLONE_NEWNET) != 0) return kNoNamespace;
    if (std::setlocale(LC_ALL, "ja_JP.UTF-8") == nullptr) return kNoLocale;
    const ConnectOutcome c = SystemNetwork().Connect("mail.example.invalid", 25, Millis{10000});
    if (c.result == 2 && c.detail == "name or service not known") return 0;
    std::fprintf(stderr, "%d %s\n", c.result, c.detail.c_str());
    return 1;
  });
  if (result == kNoNamespace) GTEST_SKIP() << "no mount or network namespace here";
  if (result == kNoLocale) GTEST_SKIP() << "no ja_JP.UTF-8 locale here";
  EXPECT_EQ(0, result);
}

// A link-local address is named with its interface (RFC 4007 11): without
// it, it could be any link's.
TEST(Resolution, ALinkLocalAddressKeepsItsInterface) {
  const int result = test::InChild([] {
    // A network of the child's own, whose loopback is down: the connect
    // fails at once, and nothing leaves.
    if (unshare(CLONE_NEWNET) != 0) return kNoNamespace;
    const ConnectOutcome c = ConnectToAddresses({"fe80::1%lo"}, 25, Millis{10000});
    if (c.result == 3) return kNoIpv6;
    if (c.result == 4 && c.detail.rfind("[fe80::1%lo]:25 ", 0) == 0) return 0;
    std::fprintf(stderr, "%d %s\n", c.result, c.detail.c_str());
    return 1;
  });
  if (result == kNoNamespace) GTEST_SKIP() << "no network namespace here";
  if (result == kNoIpv6) GTEST_SKIP() << "no IPv6 here";
  EXPECT_EQ(0, result);
}

// Every byte of the handshake and the session goes through the plain
// connection, however short its transfers and however often interrupted.
TEST(Tls, RoundTripOverAFaultyConnection) {
#ifndef VTL_TLS_SERVER
  GTEST_SKIP() << "no Python to serve TLS";
#else
  FILE* server = popen(VTL_TLS_SERVER, "r");
  ASSERT_NE(nullptr, server);
  int port = 0;
  if (fscanf(server, "%d", &port) != 1) port = 0;
  test::FaultyNetwork network(SystemNetwork());
  ConnectOutcome plain = network.Connect("127.0.0.1", static_cast<uint16_t>(port), Millis{60000});
  TlsOutcome tls{plain.result, nullptr, {}};
  std::string reply;
  if (plain.result == 0) {
    tls = StartTls(std::move(plain.connection), {"localhost", false, VTL_TLS_CA, Millis{60000}});
  }
  for (std::string_view out = "ping\r\n"; tls.result == 0 && !out.empty();) {
    const IoResult r = tls.connection->Send(out.data(), out.size(), Millis{60000});
    if (r.status != IoStatus::Ok && r.status != IoStatus::Interrupted) break;
    out.remove_prefix(r.bytes);
  }
  char buffer[8];
  while (tls.result == 0 && reply.find('\n') == std::string::npos) {
    const IoResult r = tls.connection->Receive(buffer, sizeof buffer, Millis{60000});
    if (r.status != IoStatus::Ok && r.status != IoStatus::Interrupted) break;
    reply.append(buffer, r.bytes);
  }
  tls.connection.reset();
  pclose(server);
  EXPECT_EQ(0, tls.result);
  EXPECT_EQ("pong\r\n", reply);
#endif
}

// Paths that name no regular file, or one this process may not read. Each
// open runs in a child that a timer ends, so that an open which waits (for
// a FIFO's writer) fails the row instead of hanging the suite.
TEST(InputFile, OnlyARegularFileTheProcessMayReadOpens) {
  const test::ScratchDir dir("vtl-posix-files");
  const std::string folder = dir.path.string();
  ASSERT_EQ(0, chmod(folder.c_str(), 0755));  // for the unprivileged user below
  ASSERT_EQ(0, mkfifo((folder + "/fifo").c_str(), 0644));
  test::WriteFile(dir / "secret.txt", "x");
  ASSERT_EQ(0, chmod((folder + "/secret.txt").c_str(), 0));
  constexpr int kCannotDrop = 3;
  const struct {
    std::string path;
    const char* why;
    bool unprivileged = false;  // root reads every file: the child gives up root first
  } kRows[] = {
      {folder + "/fifo", "not a regular file"},
      {"/dev/null", "not a regular file"},
      {folder + "/secret.txt/x", "a part of the path is not a directory"},
      {folder + "/secret.txt", "permission denied", true},
  };
  for (const auto& row : kRows) {
    const int status = test::InChild([&] {
      alarm(60);
      if (row.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return kCannotDrop;
      const FileOpened opened = OpenInputFile(row.path, 0);
      if (opened.file == nullptr && opened.why == row.why) return 0;
      std::fprintf(stderr, "%s: %s\n", row.path.c_str(), opened.why.c_str());
      return 1;
    });
    if (status == kCannotDrop) {
      std::printf("skipped %s: root cannot drop root here\n", row.why);
      continue;
    }
    EXPECT_EQ(0, status) << row.path << " (-1: the open hung)";
  }
}

using test::ConnectedClient;

TEST(Loopback, BytesGoBothWaysOnEachLoopbackAddress) {
  const ListenOutcome listening = ListenOnLoopback();
  ASSERT_NE(nullptr, listening.listener) << listening.why;
  EXPECT_NE(0, listening.listener->Port());
  test::ExpectBytesBothWaysOnEachLoopbackAddress(*listening.listener);
}

TEST(Loopback, AcceptWithNobodyComingTimesOut) {
  const ListenOutcome listening = ListenOnLoopback();
  ASSERT_NE(nullptr, listening.listener) << listening.why;
  IoStatus status = IoStatus::Ok;
  EXPECT_EQ(nullptr, listening.listener->Accept(Millis{200}, status));
  EXPECT_EQ(IoStatus::TimedOut, status);
}

void Ignore(int) {}

// A signal during the wait (no SA_RESTART) neither fails the accept nor
// loses the connection that comes after it.
TEST(Loopback, ASignalDuringTheWaitIsWaitedThrough) {
  const ListenOutcome listening = ListenOnLoopback();
  ASSERT_NE(nullptr, listening.listener) << listening.why;
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = Ignore;
  sigaction(SIGALRM, &action, &old);
  itimerval timer{};
  timer.it_value.tv_usec = 50'000;
  setitimer(ITIMER_REAL, &timer, nullptr);
  int client = -1;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    client = ConnectedClient("127.0.0.1", listening.listener->Port());
  });
  IoStatus status = IoStatus::Failed;
  const std::unique_ptr<Connection> accepted = listening.listener->Accept(Millis{10'000}, status);
  late.join();
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_NE(nullptr, accepted);
  EXPECT_EQ(IoStatus::Ok, status);
  if (client >= 0) ::close(client);
}

// The browser the sign-in starts must hold none of its sockets: a program
// started meanwhile has no socket open.
TEST(Loopback, AProgramStartedMeanwhileInheritsNoSocket) {
  const ListenOutcome listening = ListenOnLoopback();
  ASSERT_NE(nullptr, listening.listener) << listening.why;
  const int client = ConnectedClient("127.0.0.1", listening.listener->Port());
  ASSERT_GE(client, 0);
  IoStatus status = IoStatus::Failed;
  const std::unique_ptr<Connection> accepted = listening.listener->Accept(Millis{10'000}, status);
  ASSERT_NE(nullptr, accepted);
  ::close(client);  // the test's own, not the listener's
  FILE* child = popen("ls -l /proc/self/fd/ 2>&1", "r");
  ASSERT_NE(nullptr, child);
  std::string listing;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, child) != nullptr) listing += buffer;
  pclose(child);
  EXPECT_EQ(std::string::npos, listing.find("socket:")) << listing;
}

// Each test's items in a scratch folder of its own, named by
// XDG_STATE_HOME, and the umask that leaves every bit asked for: modes
// must come from the layer, not from the umask.
class KeptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = getenv("XDG_STATE_HOME")) oldState_ = old;
    hadState_ = getenv("XDG_STATE_HOME") != nullptr;
    setenv("XDG_STATE_HOME", (scratch_.path / "state").c_str(), 1);
    oldMask_ = umask(0);
  }
  void TearDown() override {
    umask(oldMask_);
    if (hadState_)
      setenv("XDG_STATE_HOME", oldState_.c_str(), 1);
    else
      unsetenv("XDG_STATE_HOME");
  }
  std::string Folder() const { return (scratch_.path / "state/vtl/grants").string(); }
  std::string Item(const char* name) const { return Folder() + "/" + name; }
  static mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  const test::ScratchDir scratch_{"vtl-kept"};

 private:
  std::string oldState_;
  bool hadState_ = false;
  mode_t oldMask_ = 0;
};

TEST_F(KeptTest, RoundTripOverwriteAndRemove) {
  EXPECT_EQ(Folder(), KeptFolder());
  std::string out = "stale";
  EXPECT_EQ(StoreStatus::Missing, ReadKept("grant", out).status);
  EXPECT_EQ("", out);
  EXPECT_EQ(StoreStatus::Missing, RemoveKept("grant").status);
  const std::string binary("token\0\xff\n", 8);
  for (const std::string& bytes :
       {binary, std::string(70'000, 'L'), std::string("s"), std::string()}) {
    ASSERT_EQ(StoreStatus::Ok, WriteKept("grant", bytes).status);
    out = "left from before";
    const StoreOutcome read = ReadKept("grant", out);
    EXPECT_EQ(StoreStatus::Ok, read.status) << read.why;
    EXPECT_EQ(bytes, out);
  }
  ASSERT_EQ(StoreStatus::Ok, WriteKept("other", "o").status);
  EXPECT_EQ(StoreStatus::Ok, RemoveKept("grant").status);
  EXPECT_EQ(StoreStatus::Missing, ReadKept("grant", out).status);
  EXPECT_EQ(StoreStatus::Missing, RemoveKept("grant").status);
  EXPECT_EQ(StoreStatus::Ok, ReadKept("other", out).status);
  EXPECT_EQ("o", out);
}

TEST_F(KeptTest, TheFileIs0600AndEveryFolderMade0700) {
  ASSERT_EQ(StoreStatus::Ok, WriteKept("grant", "secret").status);
  EXPECT_EQ(0600u, ModeOf(Item("grant")));
  for (const char* folder : {"state", "state/vtl", "state/vtl/grants"})
    EXPECT_EQ(0700u, ModeOf((scratch_.path / folder).string())) << folder;
  // No temporary file stays behind.
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Folder())) {
    ++entries;
    EXPECT_EQ("grant", entry.path().filename()) << entry.path();
  }
  EXPECT_EQ(1u, entries);
}

TEST_F(KeptTest, OpenToOthersIsRefusedAndSaysWhy) {
  const struct {
    mode_t file;
    mode_t folder;
    StoreStatus status;
    const char* why;  // a part of it
  } kRows[] = {
      {0600, 0700, StoreStatus::Ok, ""},
      {0400, 0755, StoreStatus::Ok, ""},  // others may list the folder
      {0600, 0711, StoreStatus::Ok, ""},
      {0644, 0700, StoreStatus::Refused, "the file is readable by others (mode 0644)"},
      {0640, 0700, StoreStatus::Refused, "readable by others (mode 0640)"},
      {0602, 0700, StoreStatus::Refused, "the file is writable by others (mode 0602)"},
      {0610, 0700, StoreStatus::Refused, "usable by others (mode 0610)"},
      {0600, 0775, StoreStatus::Refused, "the folder is writable by others (mode 0775)"},
      {0600, 0757, StoreStatus::Refused, "the folder is writable by others (mode 0757)"},
      {0600, 0777, StoreStatus::Refused, "(mode 0777)"},
  };
  ASSERT_EQ(StoreStatus::Ok, WriteKept("grant", "secret").status);
  for (const auto& row : kRows) {
    ASSERT_EQ(0, chmod(Item("grant").c_str(), row.file));
    ASSERT_EQ(0, chmod(Folder().c_str(), row.folder));
    std::string out = "stale";
    const StoreOutcome read = ReadKept("grant", out);
    EXPECT_EQ(row.status, read.status) << std::oct << row.file << " " << row.folder;
    EXPECT_NE(std::string::npos, read.why.find(row.why)) << read.why;
    if (row.status == StoreStatus::Refused) {
      EXPECT_NE(std::string::npos, read.why.find(Folder())) << read.why;
      EXPECT_EQ("", out);
    }
  }
  // Nor is an item written into a folder others may change.
  ASSERT_EQ(0, chmod(Folder().c_str(), 0777));
  EXPECT_EQ(StoreStatus::Refused, WriteKept("grant", "new").status);
}

TEST_F(KeptTest, AnotherOwnersFileIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  ASSERT_EQ(StoreStatus::Ok, WriteKept("grant", "secret").status);
  ASSERT_EQ(0, chown(Item("grant").c_str(), 65534, 65534));
  std::string out;
  StoreOutcome read = ReadKept("grant", out);
  EXPECT_EQ(StoreStatus::Refused, read.status);
  EXPECT_NE(std::string::npos, read.why.find("belongs to uid 65534")) << read.why;
  ASSERT_EQ(0, chown(Item("grant").c_str(), 0, 0));
  ASSERT_EQ(0, chown(Folder().c_str(), 65534, 65534));
  read = ReadKept("grant", out);
  EXPECT_EQ(StoreStatus::Refused, read.status);
  EXPECT_NE(std::string::npos, read.why.find("the folder belongs to uid 65534")) << read.why;
}

// A link in place of the item is never followed: not read through, and
// replaced (not written through) by a write.
TEST_F(KeptTest, ALinkInPlaceOfTheItemIsNotFollowed) {
  ASSERT_EQ(StoreStatus::Ok, WriteKept("grant", "mine").status);
  const std::string elsewhere = (scratch_.path / "elsewhere").string();
  test::WriteFile(elsewhere, "theirs");
  ASSERT_EQ(0, chmod(elsewhere.c_str(), 0600));
  ASSERT_EQ(0, unlink(Item("grant").c_str()));
  ASSERT_EQ(0, symlink(elsewhere.c_str(), Item("grant").c_str()));
  std::string out;
  const StoreOutcome read = ReadKept("grant", out);
  EXPECT_EQ(StoreStatus::Refused, read.status);
  EXPECT_NE(std::string::npos, read.why.find("symbolic link")) << read.why;
  EXPECT_EQ("", out);
  ASSERT_EQ(StoreStatus::Ok, WriteKept("grant", "new").status);
  std::ifstream in(elsewhere);
  EXPECT_EQ("theirs", std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_EQ(StoreStatus::Ok, ReadKept("grant", out).status);
  EXPECT_EQ("new", out);
}

TEST_F(KeptTest, ALinkInPlaceOfTheFolderOrAFifoInPlaceOfTheItemIsRefused) {
  ASSERT_EQ(StoreStatus::Ok, WriteKept("grant", "mine").status);
  ASSERT_EQ(0, mkfifo(Item("fifo").c_str(), 0600));
  std::string out;
  EXPECT_EQ(StoreStatus::Refused, ReadKept("fifo", out).status);  // and does not hang
  const std::filesystem::path real = scratch_.path / "real";
  std::filesystem::rename(Folder(), real);
  std::filesystem::create_directory_symlink(real, Folder());
  const StoreOutcome read = ReadKept("grant", out);
  EXPECT_EQ(StoreStatus::Refused, read.status) << read.why;
  EXPECT_EQ(StoreStatus::Refused, WriteKept("grant", "x").status);
}

TEST_F(KeptTest, ALargerFileThanAnItemIsDamaged) {
  ASSERT_EQ(StoreStatus::Ok, WriteKept("grant", std::string((1 << 20) + 1, 'x')).status);
  std::string out;
  EXPECT_EQ(StoreStatus::Damaged, ReadKept("grant", out).status);
  EXPECT_EQ("", out);
}

TEST_F(KeptTest, ANameThatIsAPathIsNoItem) {
  for (const char* name : {"", ".", "..", "../grant", "a/b", "/etc/passwd"}) {
    std::string out;
    EXPECT_EQ(StoreStatus::Failed, WriteKept(name, "x").status) << name;
    EXPECT_EQ(StoreStatus::Failed, ReadKept(name, out).status) << name;
    EXPECT_EQ(StoreStatus::Failed, RemoveKept(name).status) << name;
  }
  EXPECT_EQ(StoreStatus::Failed, WriteKept(std::string_view("a\0b", 3), "x").status);
  EXPECT_FALSE(std::filesystem::exists(Item("a")));
}

TEST_F(KeptTest, TheFolderFollowsXdgStateHomeThenHome) {
  const char* home = getenv("HOME");
  const std::string oldHome = home != nullptr ? home : "";
  passwd* entry = getpwuid(geteuid());
  ASSERT_NE(nullptr, entry);
  const std::string database = entry->pw_dir;
  const struct {
    const char* state;  // null: unset
    const char* home;   // null: unset
    std::string folder;
  } kRows[] = {
      {"/s", "/h", "/s/vtl/grants"},
      {"/s/", "/h", "/s/vtl/grants"},
      {"", "/h", "/h/.local/state/vtl/grants"},
      {"relative/s", "/h", "/h/.local/state/vtl/grants"},
      {nullptr, "/h", "/h/.local/state/vtl/grants"},
      {nullptr, nullptr, database + "/.local/state/vtl/grants"},
      {nullptr, "", database + "/.local/state/vtl/grants"},
  };
  for (const auto& row : kRows) {
    row.state != nullptr ? setenv("XDG_STATE_HOME", row.state, 1) : unsetenv("XDG_STATE_HOME");
    row.home != nullptr ? setenv("HOME", row.home, 1) : unsetenv("HOME");
    EXPECT_EQ(row.folder, KeptFolder()) << (row.state ? row.state : "(unset)");
  }
  home != nullptr ? setenv("HOME", oldHome.c_str(), 1) : unsetenv("HOME");
}

// Two processes write at once, while this one reads: every read finds no
// item or a whole one, and the last one written stays.
TEST_F(KeptTest, TwoWritersAtOnceLeaveOneWholeItem) {
  const std::string items[] = {std::string(40'000, 'a'), std::string(3'000, 'b')};
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] == 0) {
      for (int i = 0; i < 200; ++i)
        if (WriteKept("grant", items[w]).status != StoreStatus::Ok) _exit(1);
      _exit(0);
    }
  }
  int torn = 0;
  int reads = 0;
  int statuses[2] = {-1, -1};
  for (bool reaped[2] = {false, false}; !reaped[0] || !reaped[1];) {
    std::string out;
    const StoreOutcome read = ReadKept("grant", out);
    ++reads;
    if (read.status == StoreStatus::Ok ? out != items[0] && out != items[1]
                                       : read.status != StoreStatus::Missing)
      ++torn;
    for (int w = 0; w < 2; ++w)
      if (!reaped[w]) reaped[w] = waitpid(writers[w], &statuses[w], WNOHANG) == writers[w];
  }
  for (const int status : statuses) EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(0, torn) << "of " << reads << " reads";
  std::string out;
  ASSERT_EQ(StoreStatus::Ok, ReadKept("grant", out).status);
  EXPECT_TRUE(out == items[0] || out == items[1]);
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(Folder()), {}));
}

}  // namespace
}  // namespace vtl::platform
