#include "mail.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "jtext/jtext.h"
#include "mail/message.h"
#include "mail/session.h"
#include "vtl.h"

namespace vtl::bench {
namespace {

constexpr const char* kFrom = "taro@example.com";
constexpr const char* kTo = "hanako@example.net";
// "山田太郎", "佐藤花子" and "会議の件" in Shift_JIS.
constexpr const char* kFromName = "\x8e\x52\x93\x63\x91\xbe\x98\x59";
constexpr const char* kToName = "\x8d\xb2\x93\xa1\x89\xd4\x8e\x71";
constexpr const char* kSubject = "\x89\xef\x8b\x63\x82\xcc\x8c\x8f";
// The same in UTF-8.
constexpr const char* kFromNameUtf8 = "\xe5\xb1\xb1\xe7\x94\xb0\xe5\xa4\xaa\xe9\x83\x8e";
constexpr const char* kToNameUtf8 = "\xe4\xbd\x90\xe8\x97\xa4\xe8\x8a\xb1\xe5\xad\x90";
constexpr const char* kSubjectUtf8 = "\xe4\xbc\x9a\xe8\xad\xb0\xe3\x81\xae\xe4\xbb\xb6";
// The ASCII mail from an English system, and the mail with a file.
constexpr const char* kFromNameAscii = "Taro Yamada";
constexpr const char* kToNameAscii = "Hanako Sato";
constexpr const char* kSubjectAscii = "The minutes of the meeting";
constexpr const char* kFileFrom = "Taro Yamada <taro@example.com>";
constexpr const char* kFileTo = "Hanako Sato <hanako@example.net>";
constexpr const char* kFileText =
    "Hello Hanako,\r\n\r\nthe file you asked for is attached.\r\n\r\nTaro\r\n";
// The login over smtps; the TLS sink takes any.
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "secret";

class Collect : public mail::LineSink {
 public:
  explicit Collect(std::string& out) : out_(out) {}
  bool Line(std::string_view line) override {
    out_.append(line);
    return true;
  }

 private:
  std::string& out_;
};

struct Reader {
  const std::string& message;
  size_t pos = 0;
};

size_t Read(char* buffer, size_t size, size_t count, void* user) {
  auto* r = static_cast<Reader*>(user);
  const size_t n = std::min(size * count, r->message.size() - r->pos);
  std::memcpy(buffer, r->message.data() + r->pos, n);
  r->pos += n;
  return n;
}

// A server in the process that takes every command, and keeps the message
// without its final ".".
class CaptureConnection : public Connection {
 public:
  explicit CaptureConnection(std::string& message) : message_(message) {}

  IoResult Send(const char* data, size_t size, Millis) override {
    const std::string_view bytes(data, size);
    if (inData_) {
      message_.append(bytes);
      // Dot-stuffing keeps this out of the message before its end.
      if (message_.ends_with("\r\n.\r\n")) {
        message_.resize(message_.size() - 3);
        inData_ = false;
        replies_ += "250 queued\r\n";
      }
    } else {
      // A command comes whole before its reply is read.
      command_.append(bytes);
      if (command_.ends_with("\r\n")) {
        inData_ = command_ == "DATA\r\n";
        replies_ += inData_                  ? "354 go on\r\n"
                    : command_ == "QUIT\r\n" ? "221 bye\r\n"
                                             : "250 ok\r\n";
        command_.clear();
      }
    }
    return {IoStatus::Ok, size};
  }

  IoResult Receive(char* buffer, size_t size, Millis) override {
    if (replies_.empty()) return {IoStatus::Closed, 0};
    const size_t n = std::min(size, replies_.size());
    std::memcpy(buffer, replies_.data(), n);
    replies_.erase(0, n);
    return {IoStatus::Ok, n};
  }

 private:
  std::string& message_;
  std::string replies_ = "220 ready\r\n";
  std::string command_;
  bool inData_ = false;
};

class CaptureNetwork : public Network {
 public:
  explicit CaptureNetwork(std::string& message) : message_(message) {}
  ConnectOutcome Connect(const std::string&, uint16_t, Millis) override {
    return {0, std::make_unique<CaptureConnection>(message_), {}, {}};
  }

 private:
  std::string& message_;
};

}  // namespace

std::string BenchServer() {
  const char* server = std::getenv("VTL_BENCH_SERVER");
  return server != nullptr && *server != '\0' ? server : "127.0.0.28";
}

std::string TlsBenchServer() {
  const char* server = std::getenv("VTL_BENCH_TLS_SERVER");
  return server != nullptr ? server : "";
}

std::string VtlServer(Transport transport) {
  if (transport == Transport::Plain) return BenchServer();
  return std::string("smtps://") + kUser + ":" + kPassword + ";AUTH=PLAIN@" + TlsBenchServer();
}

void UseJapaneseLocale() {
  setenv("LC_ALL", "ja_JP.SJIS", 1);
}

int SendWithVtl(const std::string& server, const std::string& body) {
  return VTLSendMail(server.c_str(), kFrom, kFromName, kTo, kToName, kSubject, body.c_str());
}

void UseEnglishLocale() {
  setenv("LC_ALL", "en_US.UTF-8", 1);
}

namespace {

// What VTLSendMail takes from the system, with this locale and network.
mail::SendEnv Env(const LocaleInfo& locale, Network* network) {
  static uint64_t sequence = 0;
  mail::SendEnv env;
  env.locale = locale;
  env.charsets = platform::OpenCharsets;
  env.port = platform::MailPort();
  env.network = network != nullptr ? network : &platform::SystemNetwork();
  env.clock = platform::Now;
  env.hostName = platform::HostName();
  env.processId = platform::ProcessId();
  env.sequence = sequence++;
  return env;
}

}  // namespace

int SendFromUtf8(const std::string& server, const std::string& utf8Body, Network* network) {
  return mail::SendMail(
      {server.c_str(), kFrom, kFromNameUtf8, kTo, kToNameUtf8, kSubjectUtf8, utf8Body.c_str()},
      Env({"JPN", jtext::kUtf8CodePage, {}, "UTF-8"}, network));
}

int SendAsciiWithVtl(const std::string& server, const std::string& body) {
  return VTLSendMail(server.c_str(), kFrom, kFromNameAscii, kTo, kToNameAscii, kSubjectAscii,
                     body.c_str());
}

std::string AsciiWireMessage(const std::string& body) {
  std::string message;
  CaptureNetwork network(message);
  const int result = mail::SendMail(
      {"localhost", kFrom, kFromNameAscii, kTo, kToNameAscii, kSubjectAscii, body.c_str()},
      Env(platform::UserLocale(), &network));
  return result == 0 ? message : std::string();
}

bool WriteRandomFile(const std::string& path, uint64_t bytes) {
  const std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wb"),
                                                                std::fclose);
  if (!file) return false;
  std::mt19937_64 random(20261209);
  std::vector<uint64_t> piece((1 << 20) / sizeof(uint64_t));
  for (uint64_t left = bytes; left > 0;) {
    for (uint64_t& word : piece) word = random();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, 1 << 20));
    if (std::fwrite(piece.data(), 1, n, file.get()) != n) return false;
    left -= n;
  }
  return std::fflush(file.get()) == 0;
}

int SendFileWithVtl(const std::string& server, const std::string& path) {
  return VTLSendMailEx(server.c_str(), kFileFrom, kFileTo, nullptr, nullptr, kSubjectAscii,
                       kFileText, path.c_str(), nullptr);
}

std::string Utf8WireMessage(const std::string& utf8Body) {
  std::string message;
  CaptureNetwork network(message);
  return SendFromUtf8("localhost", utf8Body, &network) == 0 ? message : std::string();
}

std::string WireMessage(const std::string& body) {
  const jtext::TextMode mode = jtext::ShiftJisMode(true);
  const LocalTime t{2026, 12, 7, 1, 9, 30, 0, 123, 540};
  std::string message;
  message.reserve(body.size() + body.size() / 2 + 4096);
  message += mail::ComposeHeaderBlock({kFrom, kFromName, kTo, kToName, kSubject}, mode,
                                      mail::FormatMailDate(t),
                                      mail::MakeMessageId(t, 4242, 1, "localhost"));
  Collect collect(message);
  mail::WriteBodyLines(body, mode, collect);
  return message;
}

namespace {

// One easy handle for one send, from kFrom to kTo: one handle per send, as
// one call of ours is. Over smtps it logs in as VTLSendMail does: PLAIN,
// the credentials with the command.
class CurlSend {
 public:
  explicit CurlSend(Transport transport)
      : url_(transport == Transport::Plain ? "smtp://" + BenchServer() + ":25"
                                           : "smtps://" + TlsBenchServer()),
        handle_(curl_easy_init(), curl_easy_cleanup),
        rcpt_(curl_slist_append(nullptr, (std::string("<") + kTo + ">").c_str()),
              curl_slist_free_all) {
    CURL* curl = get();
    if (curl == nullptr) return;
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from_.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt_.get());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    if (transport == Transport::Smtps) {
      const char* ca = std::getenv("SSL_CERT_FILE");
      curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
      curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_3));
      if (ca != nullptr) curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
      curl_easy_setopt(curl, CURLOPT_USERNAME, kUser);
      curl_easy_setopt(curl, CURLOPT_PASSWORD, kPassword);
      curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, "AUTH=PLAIN");
      curl_easy_setopt(curl, CURLOPT_SASL_IR, 1L);
    }
  }
  // Null when the handle could not be made.
  CURL* get() const { return handle_ && rcpt_ ? handle_.get() : nullptr; }

 private:
  const std::string url_;
  const std::string from_ = std::string("<") + kFrom + ">";
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle_;
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> rcpt_;
};

}  // namespace

bool SendFileWithCurl(const std::string& path) {
  const CurlSend send(Transport::Plain);
  CURL* curl = send.get();
  if (curl == nullptr) return false;
  // As curl -H 'From: ...' -H 'To: ...' -H 'Subject: ...' -F '=TEXT'
  // -F '=@FILE;encoder=base64' makes it.
  const std::unique_ptr<curl_mime, decltype(&curl_mime_free)> mime(curl_mime_init(curl),
                                                                   curl_mime_free);
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, curl_slist_free_all);
  for (const std::string& line : {std::string("From: ") + kFileFrom, std::string("To: ") + kFileTo,
                                  std::string("Subject: ") + kSubjectAscii}) {
    curl_slist* more = curl_slist_append(headers.get(), line.c_str());
    if (more == nullptr) return false;
    headers.release();
    headers.reset(more);
  }
  curl_mimepart* text = mime ? curl_mime_addpart(mime.get()) : nullptr;
  curl_mimepart* file = mime ? curl_mime_addpart(mime.get()) : nullptr;
  if (text == nullptr || file == nullptr ||
      curl_mime_data(text, kFileText, CURL_ZERO_TERMINATED) != CURLE_OK ||
      curl_mime_filedata(file, path.c_str()) != CURLE_OK ||
      curl_mime_encoder(file, "base64") != CURLE_OK)
    return false;
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime.get());
  return curl_easy_perform(curl) == CURLE_OK;
}

bool SendWithCurl(Transport transport, const std::string& message) {
  const CurlSend send(transport);
  CURL* curl = send.get();
  if (curl == nullptr) return false;
  Reader reader{message};
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, Read);
  curl_easy_setopt(curl, CURLOPT_READDATA, &reader);
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
  return curl_easy_perform(curl) == CURLE_OK;
}

}  // namespace vtl::bench
