// The Windows platform layer, run under Wine with the real Win32 calls:
// Winsock start-up and clean-up, locale and code page, clock and zone, files
// named in the caller's code page, UTF-16 for the wide entry points, the
// loopback listener, DPAPI-sealed storage; and the SChannel client over a
// scripted SSPI.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "jtext/jtext.h"
#include "mail/session.h"
#include "platform/win/com.h"
#include "platform/win/tls.h"
#include "platform/win/winsock.h"
// (after windows.h and security.h)
#include <schannel.h>
#include <wincrypt.h>

#include "support/fixed_time.h"
#include "support/hex.h"
#include "support/loopback_exchange.h"
#include "support/scratch_dir.h"
#include "support/script_server.h"
#include "vtl.h"

namespace vtl {
namespace {

// True while the sockets layer is started in this process.
bool WinsockStarted() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s != INVALID_SOCKET) {
    closesocket(s);
    return true;
  }
  return WSAGetLastError() != WSANOTINITIALISED;
}

mail::SendEnv EnvFor(Network& network, uint16_t port) {
  mail::SendEnv env;
  env.locale = platform::UserLocale();
  env.port = port;
  env.network = &network;
  env.clock = test::FixedTime;
  env.timeouts.connect = env.timeouts.greeting = env.timeouts.other = env.timeouts.quit =
      Millis{60000};
  return env;
}

const mail::MailArgs kArgs{"127.0.0.1", "a@example.com", "A", "b@example.com", "B", "S", "x"};

TEST(WinsockLayer, EveryPathLeavesItAsItWasFound) {
  ASSERT_FALSE(WinsockStarted()) << "something in the test process keeps Winsock started";
  uint16_t freePort = 0;
  {
    test::ScriptServer server(test::kAcceptingScript);
    ASSERT_TRUE(server.listening());
    freePort = server.port();
    EXPECT_EQ(VTL_SEND_OK, mail::SendMail(kArgs, EnvFor(platform::SystemNetwork(), server.port())));
    EXPECT_EQ(6u, server.Transcript().size());
  }
  EXPECT_FALSE(WinsockStarted()) << "after a delivery";
  {
    test::ScriptServer server({"220 ready", "<close>"});
    EXPECT_EQ(VTL_SEND_DIALOGUE_FAILED,
              mail::SendMail(kArgs, EnvFor(platform::SystemNetwork(), server.port())));
  }
  EXPECT_FALSE(WinsockStarted()) << "after a broken dialogue";
  // The server above has gone: nothing listens on its port now.
  EXPECT_EQ(VTL_SEND_CONNECT_FAILED,
            mail::SendMail(kArgs, EnvFor(platform::SystemNetwork(), freePort)));
  EXPECT_FALSE(WinsockStarted()) << "after a refused connection";
  // A label over 63 octets: the resolver refuses it without asking anyone.
  mail::MailArgs unresolvable = kArgs;
  const std::string name = std::string(70, 'a') + ".invalid";
  unresolvable.server = name.c_str();
  EXPECT_EQ(VTL_SEND_RESOLVE_FAILED,
            mail::SendMail(unresolvable, EnvFor(platform::SystemNetwork(), 25)));
  EXPECT_FALSE(WinsockStarted()) << "after a failed resolution";
  EXPECT_FALSE(platform::HostName().empty());
  EXPECT_EQ(25, platform::MailPort());  // the services entry "mail", an alias of smtp
  EXPECT_FALSE(WinsockStarted()) << "after the host name and the services lookup";
  mail::MailArgs empty = kArgs;
  empty.body = "";
  EXPECT_EQ(VTL_SEND_BAD_ARGUMENT, mail::SendMail(empty, EnvFor(platform::SystemNetwork(), 25)));
  EXPECT_FALSE(WinsockStarted()) << "after a bad argument";
}

TEST(WinsockLayer, FailedStartUpGives1) {
  // Version 0.0 is one no Windows offers, so WSAStartup refuses it.
  const auto network = platform::win::NewWinsockNetwork(0);
  EXPECT_EQ(VTL_SEND_STARTUP_FAILED, mail::SendMail(kArgs, EnvFor(*network, 25)));
  EXPECT_FALSE(WinsockStarted());
}

// The locale the test run was started under (VTL_TEST_LOCALE, set by CTest).
TEST(WinLocale, IsTheOneWineWasStartedWith) {
  const char* expected = std::getenv("VTL_TEST_LOCALE");
  if (expected == nullptr) GTEST_SKIP() << "VTL_TEST_LOCALE is not set";
  const LocaleInfo info = platform::UserLocale();
  if (std::strcmp(expected, "ja") == 0) {
    EXPECT_EQ("JPN", info.abbrevLangName);
    EXPECT_EQ(932u, info.codePage);
    EXPECT_EQ(jtext::ShiftJisLeadBytes(), info.leadBytes);
    EXPECT_TRUE(
        jtext::DecideTextMode(info.abbrevLangName, info.codePage, info.leadBytes).Converts());
  } else if (std::strcmp(expected, "ja-utf8") == 0) {
    EXPECT_EQ("JPN", info.abbrevLangName);
    EXPECT_EQ(65001u, info.codePage);
    EXPECT_TRUE(info.leadBytes.none());
    EXPECT_NE(nullptr, platform::OpenCharsets(info));
  } else {
    EXPECT_EQ("ENU", info.abbrevLangName);
    EXPECT_EQ(1252u, info.codePage);
    EXPECT_TRUE(info.leadBytes.none());
  }
}

TEST(WinLocale, CodePage932AgreesWithTheShiftJisRule) {
  for (unsigned b = 0; b < 256; ++b)
    EXPECT_EQ(jtext::IsLeadByte(static_cast<uint8_t>(b)),
              IsDBCSLeadByteEx(932, static_cast<BYTE>(b)) != FALSE)
        << "byte " << b;
  // Every pair that Windows reads as a character of code page 932 below the
  // user-defined area (0xF040) has a JIS code by the arithmetic rule.
  int characters = 0;
  for (unsigned lead = 0x81; lead < 0xF0; ++lead) {
    if (!jtext::IsLeadByte(static_cast<uint8_t>(lead))) continue;
    for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
      const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      wchar_t wide[2];
      if (MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, pair, 2, wide, 2) != 1) continue;
      ++characters;
      EXPECT_NE(0, jtext::ShiftJisToJis(static_cast<uint8_t>(lead), static_cast<uint8_t>(trail)))
          << std::hex << lead << " " << trail;
    }
  }
  EXPECT_GT(characters, 7000);
}

TEST(WinClock, OffsetIsTheOneInForceNow) {
  // The offset Now() reports against the difference between local and UTC
  // time read from the system; a change of second between the reads is
  // caught by reading until two agree.
  for (int attempt = 0; attempt < 5; ++attempt) {
    SYSTEMTIME utc;
    SYSTEMTIME local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    const LocalTime now = platform::Now();
    FILETIME utcFile;
    FILETIME localFile;
    SystemTimeToFileTime(&utc, &utcFile);
    SystemTimeToFileTime(&local, &localFile);
    const auto ticks = [](const FILETIME& f) {
      return static_cast<long long>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) |
                                    f.dwLowDateTime);
    };
    const long long minutes =
        std::llround(static_cast<double>(ticks(localFile) - ticks(utcFile)) / 600'000'000.0);
    if (now.minute != local.wMinute) continue;  // the minute turned between the reads
    EXPECT_EQ(minutes, now.utcOffsetMinutes);
    EXPECT_EQ(local.wYear, now.year);
    EXPECT_EQ(local.wHour, now.hour);
    return;
  }
  FAIL() << "the clock never held still";
}

TEST(WinClock, DaylightBiasCountsOnlyInDaylightTime) {
  TIME_ZONE_INFORMATION sydney{};
  sydney.Bias = -600;
  sydney.StandardBias = 0;
  sydney.DaylightBias = -60;
  EXPECT_EQ(660, platform::win::UtcOffsetMinutes(TIME_ZONE_ID_DAYLIGHT, sydney));
  EXPECT_EQ(600, platform::win::UtcOffsetMinutes(TIME_ZONE_ID_STANDARD, sydney));
  TIME_ZONE_INFORMATION newYork{};
  newYork.Bias = 300;
  newYork.DaylightBias = -60;
  EXPECT_EQ(-240, platform::win::UtcOffsetMinutes(TIME_ZONE_ID_DAYLIGHT, newYork));
  EXPECT_EQ(-300, platform::win::UtcOffsetMinutes(TIME_ZONE_ID_STANDARD, newYork));
  TIME_ZONE_INFORMATION tokyo{};
  tokyo.Bias = -540;
  tokyo.DaylightBias = -60;  // a zone without daylight time ignores it
  EXPECT_EQ(540, platform::win::UtcOffsetMinutes(TIME_ZONE_ID_UNKNOWN, tokyo));
  TIME_ZONE_INFORMATION nepal{};
  nepal.Bias = -345;
  EXPECT_EQ(345, platform::win::UtcOffsetMinutes(TIME_ZONE_ID_UNKNOWN, nepal));
}

// What a file opened through OpenInputFile holds, or (why) it did not open.
std::string ContentOrWhy(std::string_view path, unsigned codePage) {
  const FileOpened opened = platform::OpenInputFile(path, codePage);
  if (opened.file == nullptr) return "(" + opened.why + ")";
  std::string content(static_cast<size_t>(opened.size) + 1, '\0');
  const IoResult r = opened.file->Read(content.data(), content.size());
  return content.substr(0, r.status == IoStatus::Ok ? r.bytes : 0);
}

// The path is text of the caller's code page: UTF-8 for any name; Shift_JIS
// with characters whose second byte is a backslash (表 95 5C, ソ 83 5C),
// which read byte by byte would split the name into folders. A file another
// program has open opens unless it shares it with none; a device is refused.
TEST(WinInputFile, OpensTheFileThePathNamesInTheCallersCodePage) {
  const test::ScratchDir dir("vtl-win-files");
  test::WriteFile(dir / "\xE8\xA1\xA8\xE3\x82\xBD.txt", "right");  // 表ソ.txt
  const std::string folder = test::Utf8(dir.path);  // ASCII, as Wine's temporary folder is
  const std::string held = folder + "\\held.txt";
  test::WriteFile(dir / "held.txt", "held");
  const struct {
    unsigned codePage;
    std::string path;
    const char* expected;                  // the content, or (why)
    DWORD holderShares = FILE_SHARE_READ;  // with another program writing to `held`
  } kRows[] = {
      {65001, folder + "\\\xE8\xA1\xA8\xE3\x82\xBD.txt", "right"},
      {932, folder + "\\\x95\x5C\x83\x5C.txt", "right"},
      {932, folder + "\\\x95", "(the path is no text of code page 932)"},  // a lone lead byte
      {65001, held, "held"},
      {65001, held, "(another program has it open and shares it with none)", 0},
      {65001, "NUL", "(not a regular file)"},
  };
  for (const auto& row : kRows) {
    const HANDLE holder = CreateFileA(held.c_str(), GENERIC_WRITE, row.holderShares, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_BYTES_EQ(row.expected, ContentOrWhy(row.path, row.codePage)) << test::Escape(row.path);
    CloseHandle(holder);
  }
}

TEST(WinText, Utf8FromWide) {
  const struct {
    const wchar_t* text;
    const char* utf8;
  } kRows[] = {
      {nullptr, ""},
      {L"a\x80\x7FF\x800\xFFFF", "a\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {L"\xD83D\xDE00\xDBFF\xDFFF",
       "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},                     // pairs: U+1F600, U+10FFFF
      {L"a\xD83D", "a\xEF\xBF\xBD"},                            // half a pair at the end
      {L"\xDE00\x62", "\xEF\xBF\xBD\x62"},                      // the second half alone
      {L"\xD83D\xD83D\xDE00", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},  // a first half, then a pair
      {L"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},            // a pair the wrong way round
  };
  for (const auto& row : kRows)
    EXPECT_BYTES_EQ(row.utf8, platform::Utf8FromWide(row.text)) << test::Escape(row.utf8);
}

// The target goes to the shell as it is: a name no ANSI code page holds is
// found (31: it is there, only no program takes its type), and the detail
// reads as the ANSI form's.
TEST(WinShell, AWideTargetReachesTheShellUnchanged) {
  const test::ScratchDir dir("vtl-win-shell");
  const auto present = dir / "\xE8\xA1\xA8\xC3\xA9.vtlnone";  // 表é
  test::WriteFile(present, "x");
  std::string detail;
  EXPECT_FALSE(platform::OpenWithDefaultHandlerWide(nullptr, present.c_str(), detail));
  EXPECT_EQ("ShellExecute open failed with 31: no application is associated with this file type",
            detail);
  const auto missing = dir / "\xE8\xA1\xA8\xC3\xA9-missing.vtlnone";
  EXPECT_FALSE(platform::OpenWithDefaultHandlerWide(nullptr, missing.c_str(), detail));
  EXPECT_EQ("ShellExecute open failed with 2: no such file", detail);
}

// The apartment a new thread is in while a ComForShell lives, after
// `model` (or nothing, when negative) was entered first; and whether the
// thread's COM count was back where it started afterwards.
struct Apartment {
  HRESULT during = E_FAIL;
  APTTYPE type = APTTYPE_CURRENT;
  bool balanced = false;
};

Apartment DuringComForShell(long model) {
  Apartment a;
  std::thread([&] {
    const bool entered =
        model >= 0 && SUCCEEDED(CoInitializeEx(nullptr, static_cast<DWORD>(model)));
    APTTYPEQUALIFIER qualifier;
    {
      const platform::win::ComForShell com;
      a.during = CoGetApartmentType(&a.type, &qualifier);
    }
    APTTYPE type;
    if (entered) {
      // Still in its own apartment, until it leaves it itself.
      a.balanced = SUCCEEDED(CoGetApartmentType(&type, &qualifier));
      CoUninitialize();
    }
    a.balanced = (entered ? a.balanced : true) &&
                 CoGetApartmentType(&type, &qualifier) == CO_E_NOTINITIALIZED;
  }).join();
  return a;
}

TEST(ComForShell, SingleThreadedApartmentUnlessTheThreadHasOne) {
  const Apartment none = DuringComForShell(-1);
  EXPECT_EQ(S_OK, none.during);
  EXPECT_TRUE(none.type == APTTYPE_STA || none.type == APTTYPE_MAINSTA) << none.type;
  EXPECT_TRUE(none.balanced);

  const Apartment mta = DuringComForShell(COINIT_MULTITHREADED);
  EXPECT_EQ(S_OK, mta.during);
  EXPECT_EQ(APTTYPE_MTA, mta.type);
  EXPECT_TRUE(mta.balanced);

  const Apartment sta = DuringComForShell(COINIT_APARTMENTTHREADED);
  EXPECT_EQ(S_OK, sta.during);
  EXPECT_TRUE(sta.type == APTTYPE_STA || sta.type == APTTYPE_MAINSTA) << sta.type;
  EXPECT_TRUE(sta.balanced);
}

// SChannel as the test scripts it: the handshake is done at once, with the
// protocol and the server's certificate given here. A record on the wire
// is a kind ('D' data, 'H' a handshake message), a length byte and as many
// bytes.
struct {
  DWORD protocol = 0;
  const CERT_CONTEXT* leaf = nullptr;
} scripted;

template <class... A>
SECURITY_STATUS SEC_ENTRY Succeed(A...) {
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY QueryContext(PCtxtHandle, unsigned long attribute, void* out) {
  if (attribute == SECPKG_ATTR_CONNECTION_INFO)
    static_cast<SecPkgContext_ConnectionInfo*>(out)->dwProtocol = scripted.protocol;
  else if (attribute == SECPKG_ATTR_STREAM_SIZES)
    *static_cast<SecPkgContext_StreamSizes*>(out) = {5, 0, 16384, 4, 16};
  else if (attribute == SECPKG_ATTR_REMOTE_CERT_CONTEXT)
    *static_cast<const CERT_CONTEXT**>(out) = CertDuplicateCertificateContext(scripted.leaf);
  else
    return SEC_E_UNSUPPORTED_FUNCTION;
  return SEC_E_OK;
}

// The size of the record at the start of `b`, or 0 when it is not all there.
ULONG RecordSize(const SecBuffer& b) {
  const auto* p = static_cast<const unsigned char*>(b.pvBuffer);
  return b.cbBuffer >= 2 && b.cbBuffer >= 2u + p[1] ? 2u + p[1] : 0;
}

// Takes the handshake message at the start of the input, if any.
SECURITY_STATUS SEC_ENTRY Handshake(PCredHandle, PCtxtHandle, SEC_WCHAR*, unsigned long,
                                    unsigned long, unsigned long, PSecBufferDesc input,
                                    unsigned long, PCtxtHandle, PSecBufferDesc, unsigned long*,
                                    PTimeStamp) {
  if (input == nullptr || input->pBuffers[0].cbBuffer == 0) return SEC_E_OK;
  SecBuffer* b = input->pBuffers;
  const ULONG record = RecordSize(b[0]);
  if (record == 0) return SEC_E_INCOMPLETE_MESSAGE;
  if (b[0].cbBuffer > record) b[1] = {b[0].cbBuffer - record, SECBUFFER_EXTRA, nullptr};
  return SEC_E_OK;
}

// A handshake message is left for InitializeSecurityContext, as SChannel
// leaves it.
SECURITY_STATUS SEC_ENTRY Decrypt(PCtxtHandle, PSecBufferDesc message, unsigned long,
                                  unsigned long*) {
  SecBuffer* b = message->pBuffers;
  char* p = static_cast<char*>(b[0].pvBuffer);
  const ULONG record = RecordSize(b[0]);
  if (record == 0) return SEC_E_INCOMPLETE_MESSAGE;
  if (p[0] == 'H') {
    b[1] = {b[0].cbBuffer, SECBUFFER_EXTRA, p};
    b[0].cbBuffer = 0;
    return SEC_I_RENEGOTIATE;
  }
  if (b[0].cbBuffer > record) b[1] = {b[0].cbBuffer - record, SECBUFFER_EXTRA, p + record};
  b[0] = {record - 2, SECBUFFER_DATA, p + 2};
  return SEC_E_OK;
}

// The server's bytes, then the end of the stream; every receive returns at
// once, as one does once the deadline has passed and bytes are queued.
class Wire final : public Connection {
 public:
  explicit Wire(std::string bytes) : bytes_(std::move(bytes)) {}
  IoResult Send(const char*, size_t size, Millis) override { return {IoStatus::Ok, size}; }
  IoResult Receive(char* buffer, size_t size, Millis) override {
    const size_t n = bytes_.copy(buffer, size);
    bytes_.erase(0, n);
    return {n > 0 ? IoStatus::Ok : IoStatus::Closed, n};
  }

 private:
  std::string bytes_;
};

TEST(SchannelOverScriptedSspi, PostHandshakeMessagesAndEmptyRecords) {
  // The good chain from make_certs.sh: the leaf, in a store that holds the
  // intermediate the server sends beside it.
  std::ifstream file(VTL_TLS_CERTS "/good.pem", std::ios::binary);
  const std::string pem{std::istreambuf_iterator<char>(file), {}};
  HCERTSTORE sent = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  for (size_t at = 0; (at = pem.find("-----BEGIN CERTIFICATE", at)) != std::string::npos; ++at) {
    BYTE der[4096];
    DWORD size = sizeof der;
    const auto length = static_cast<DWORD>(pem.find("-----END CERTIFICATE", at) + 25 - at);
    ASSERT_TRUE(CryptStringToBinaryA(pem.data() + at, length, CRYPT_STRING_BASE64HEADER, der, &size,
                                     nullptr, nullptr));
    CertAddEncodedCertificateToStore(sent, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_ALWAYS,
                                     scripted.leaf == nullptr ? &scripted.leaf : nullptr);
  }
  ASSERT_NE(nullptr, scripted.leaf) << VTL_TLS_CERTS "/good.pem";

  SecurityFunctionTableW sspi{};
  sspi.AcquireCredentialsHandleW = Succeed;
  sspi.QueryCredentialsAttributesW = Succeed;  // no protocol below TLS 1.2
  sspi.FreeCredentialsHandle = Succeed;
  sspi.InitializeSecurityContextW = Handshake;
  sspi.QueryContextAttributesW = QueryContext;
  sspi.DecryptMessage = Decrypt;
  sspi.ApplyControlToken = Succeed;
  sspi.DeleteSecurityContext = Succeed;
  sspi.FreeContextBuffer = Succeed;
  TlsPeer peer;
  peer.host = "localhost";
  peer.caFile = VTL_TLS_CERTS "/ca.pem";
  std::string empties;
  for (int i = 0; i < 1000; ++i) empties += std::string("D\0", 2);
  const std::string ticketThenData = std::string("H\3tktD\4pong");
  const struct {
    const char* what;
    DWORD protocol;
    std::string wire;
    Millis timeout;
    IoStatus status;
  } cases[] = {
      {"TLS 1.3: a session ticket, then data", SP_PROT_TLS1_3_CLIENT, ticketThenData, Millis{60000},
       IoStatus::Ok},
      {"TLS 1.2: a renegotiation", SP_PROT_TLS1_2_CLIENT, ticketThenData, Millis{60000},
       IoStatus::Failed},
      {"empty records without end", SP_PROT_TLS1_3_CLIENT, empties, Millis{60000},
       IoStatus::Failed},
      {"the same, the deadline passed", SP_PROT_TLS1_3_CLIENT, empties, Millis{0},
       IoStatus::TimedOut},
  };
  for (const auto& c : cases) {
    scripted.protocol = c.protocol;
    TlsOutcome tls = platform::win::StartTlsWith(&sspi, std::make_unique<Wire>(c.wire), peer);
    ASSERT_EQ(0, tls.result) << c.what;
    char buffer[64];
    const IoResult r = tls.connection->Receive(buffer, sizeof buffer, c.timeout);
    EXPECT_EQ(c.status, r.status) << c.what;
    EXPECT_EQ(c.status == IoStatus::Ok ? "pong" : "", std::string(buffer, r.bytes)) << c.what;
  }
  CertFreeCertificateContext(std::exchange(scripted.leaf, nullptr));
  CertCloseStore(sent, 0);
}

using test::ConnectedClient;

TEST(WinLoopback, BytesGoBothWaysOnEachLoopbackAddress) {
  const ListenOutcome listening = platform::ListenOnLoopback();
  ASSERT_NE(nullptr, listening.listener) << listening.why;
  EXPECT_NE(0, listening.listener->Port());
  test::ExpectBytesBothWaysOnEachLoopbackAddress(*listening.listener);
}

TEST(WinLoopback, AcceptWithNobodyComingTimesOut) {
  const ListenOutcome listening = platform::ListenOnLoopback();
  ASSERT_NE(nullptr, listening.listener) << listening.why;
  IoStatus status = IoStatus::Ok;
  EXPECT_EQ(nullptr, listening.listener->Accept(Millis{200}, status));
  EXPECT_EQ(IoStatus::TimedOut, status);
}

// The listener and each connection it gave hold the sockets layer for
// themselves, and the last of them to go cleans it up.
TEST(WinLoopback, TheListenerAndItsConnectionsOwnTheSocketsLayer) {
  ASSERT_FALSE(WinsockStarted());
  std::unique_ptr<Connection> accepted;
  {
    const ListenOutcome listening = platform::ListenOnLoopback();
    ASSERT_NE(nullptr, listening.listener) << listening.why;
    EXPECT_TRUE(WinsockStarted());
    SOCKET client = INVALID_SOCKET;
    {
      const test::SocketsUser sockets;
      client = ConnectedClient("127.0.0.1", listening.listener->Port());
      ASSERT_NE(INVALID_SOCKET, client);
      IoStatus status = IoStatus::Failed;
      accepted = listening.listener->Accept(Millis{10'000}, status);
      ASSERT_NE(nullptr, accepted);
      closesocket(client);
    }
  }
  EXPECT_TRUE(WinsockStarted()) << "the connection outlives its listener";
  char buffer[4];
  EXPECT_EQ(IoStatus::Closed, accepted->Receive(buffer, sizeof buffer, Millis{10'000}).status);
  accepted.reset();
  EXPECT_FALSE(WinsockStarted());
}

// SO_EXCLUSIVEADDRUSE: another program's socket cannot take the port, not
// even with SO_REUSEADDR, which Windows would otherwise let share it.
TEST(WinLoopback, NoOtherSocketCanBindThePort) {
  const test::SocketsUser sockets;
  const ListenOutcome listening = platform::ListenOnLoopback();
  ASSERT_NE(nullptr, listening.listener) << listening.why;
  for (const char* host : {"127.0.0.1", "0.0.0.0"}) {
    sockaddr_storage address;
    const socklen_t length = test::SocketAddress(host, listening.listener->Port(), address);
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, s);
    test::SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
    EXPECT_NE(0, ::bind(s, reinterpret_cast<const sockaddr*>(&address), length)) << host;
    closesocket(s);
  }
}

// Each test's items under a scratch folder named by LOCALAPPDATA.
class WinKept : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t old[MAX_PATH + 1];
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", old, MAX_PATH + 1);
    hadOld_ = n > 0 && n <= MAX_PATH;
    if (hadOld_) old_.assign(old, n);
    SetEnvironmentVariableW(L"LOCALAPPDATA", scratch_.path.wstring().c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"LOCALAPPDATA", hadOld_ ? old_.c_str() : nullptr);
  }
  std::filesystem::path Item(const char* name) const {
    return scratch_.path / "vtl" / "grants" / name;
  }
  std::string FileBytes(const char* name) const {
    std::ifstream in(Item(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  const test::ScratchDir scratch_{"vtl-kept"};

 private:
  std::wstring old_;
  bool hadOld_ = false;
};

TEST_F(WinKept, RoundTripOverwriteAndRemove) {
  EXPECT_EQ(test::Utf8(scratch_.path / "vtl" / "grants"), platform::KeptFolder());
  std::string out = "stale";
  EXPECT_EQ(StoreStatus::Missing, platform::ReadKept("grant", out).status);
  EXPECT_EQ("", out);
  EXPECT_EQ(StoreStatus::Missing, platform::RemoveKept("grant").status);
  const std::string binary("token\0\xff\n", 8);
  for (const std::string& bytes :
       {binary, std::string(70'000, 'L'), std::string("s"), std::string()}) {
    const StoreOutcome written = platform::WriteKept("grant", bytes);
    ASSERT_EQ(StoreStatus::Ok, written.status) << written.why;
    out = "left from before";
    const StoreOutcome read = platform::ReadKept("grant", out);
    EXPECT_EQ(StoreStatus::Ok, read.status) << read.why;
    EXPECT_EQ(bytes, out);
  }
  ASSERT_EQ(StoreStatus::Ok, platform::WriteKept("other", "o").status);
  EXPECT_EQ(StoreStatus::Ok, platform::RemoveKept("grant").status);
  EXPECT_EQ(StoreStatus::Missing, platform::ReadKept("grant", out).status);
  EXPECT_EQ(StoreStatus::Missing, platform::RemoveKept("grant").status);
  EXPECT_EQ(StoreStatus::Ok, platform::ReadKept("other", out).status);
  EXPECT_EQ("o", out);
  // Only the item is left: no temporary file.
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(Item("")), {}));
}

// On the disk the item is DPAPI's, sealed for this user with our entropy:
// not in clear, and not opened without the entropy.
TEST_F(WinKept, TheFileIsSealedWithOurEntropy) {
  const std::string secret = "refresh-token-0123456789";
  ASSERT_EQ(StoreStatus::Ok, platform::WriteKept("grant", secret).status);
  std::string sealed = FileBytes("grant");
  EXPECT_EQ(std::string::npos, sealed.find(secret));
  DATA_BLOB in{static_cast<DWORD>(sealed.size()), reinterpret_cast<BYTE*>(sealed.data())};
  DATA_BLOB out{};
  EXPECT_FALSE(
      CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
  if (out.pbData != nullptr) LocalFree(out.pbData);
}

TEST_F(WinKept, AlteredOrCutShortIsDamaged) {
  ASSERT_EQ(StoreStatus::Ok, platform::WriteKept("grant", "refresh-token").status);
  const std::string sealed = FileBytes("grant");
  ASSERT_GT(sealed.size(), 16u);
  const struct {
    const char* what;
    std::string bytes;
  } kRows[] = {
      {"a byte near the end altered",
       [&] {
         std::string b = sealed;
         b[b.size() - 5] = static_cast<char>(b[b.size() - 5] ^ 0x40);
         return b;
       }()},
      {"a byte in the middle altered",
       [&] {
         std::string b = sealed;
         b[b.size() / 2] = static_cast<char>(b[b.size() / 2] ^ 0x01);
         return b;
       }()},
      {"cut short", sealed.substr(0, sealed.size() - 1)},
      {"empty", ""},
      {"plain text", "refresh-token"},
  };
  for (const auto& row : kRows) {
    test::WriteFile(Item("grant"), row.bytes);
    std::string out = "stale";
    const StoreOutcome read = platform::ReadKept("grant", out);
    EXPECT_EQ(StoreStatus::Damaged, read.status) << row.what;
    EXPECT_NE(std::string::npos, read.why.find("grant")) << read.why;
    EXPECT_EQ("", out) << row.what;
  }
}

TEST_F(WinKept, ANameThatIsAPathIsNoItem) {
  for (const char* name : {"", ".", "..", "..\\grant", "a/b", "a:b", "C:\\x", "a\x80"}) {
    std::string out;
    EXPECT_EQ(StoreStatus::Failed, platform::WriteKept(name, "x").status) << name;
    EXPECT_EQ(StoreStatus::Failed, platform::ReadKept(name, out).status) << name;
    EXPECT_EQ(StoreStatus::Failed, platform::RemoveKept(name).status) << name;
  }
}

}  // namespace
}  // namespace vtl
