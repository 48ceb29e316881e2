// The sign-in's HTTP: which URLs it takes, the bytes of its request, how an
// answer is read however its bytes arrive, and a POST end to end against a
// scripted server on loopback.
#include "signin/http.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/faulty_network.h"
#include "support/script_server.h"
#include "vtl.h"

namespace vtl::signin {
namespace {

TEST(HttpUrl, TakesHttpsUrlsAndRefusesTheRest) {
  const struct {
    const char* text;
    const char* expected;  // "host port path" ("(address)" after an address), or "!why words"
  } cases[] = {
      {"https://oauth.example.com/token", "oauth.example.com 443 /token"},
      {"HTTPS://Oauth.Example.com:8443/a/b?x=1&y=%2F", "Oauth.Example.com 8443 /a/b?x=1&y=%2F"},
      {"https://example.com", "example.com 443 /"},
      {"https://example.com?q=1", "example.com 443 /?q=1"},
      {"https://example.com:/t", "example.com 443 /t"},
      {"https://192.0.2.1:444/t", "192.0.2.1 (address) 444 /t"},
      {"https://[2001:db8::1]/t", "2001:db8::1 (address) 443 /t"},
      {"https://[::1]:9000", "::1 (address) 9000 /"},
      {"https://login.example.com./t", "login.example.com. 443 /t"},
      {"http://example.com/token", "!https"},
      {"example.com/token", "!no scheme"},
      {"https://user@example.com/t", "!user"},
      {"https://user:pw@example.com/t", "!user"},
      {"https://example.com/t#frag", "!fragment"},
      {"https://example.com/a b", "!space"},
      {"https://example.com/a\r\nX: y", "!control"},
      {"https://example.com/\xC3\xA9", "!ASCII"},
      {"https://example.com/a%zz", "!two hex"},
      {"https://example.com/a%2", "!two hex"},
      {"https://example.com/a<b>", "!percent-encode"},
      {"https://example.com:0/t", "!port"},
      {"https://example.com:65536/t", "!port"},
      {"https://example.com:12x/t", "!port"},
      {"https:///t", "!no host"},
      {"https://[2001:db8::1/t", "!IPv6"},
      {"https://[::1]x/t", "!brackets"},
      {"https://10.1/t", "!IPv4"},
      {"https://0x7f.0.0.1/t", "!IPv4"},
      {"https://exa_mple!.com/t", "!DNS"},
  };
  for (const auto& c : cases) {
    HttpsUrl url;
    std::string why;
    const bool ok = ParseHttpsUrl(c.text, url, &why);
    const std::string expected = c.expected;
    if (expected[0] == '!') {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_NE(why.find(expected.substr(1)), std::string::npos) << c.text << ": " << why;
    } else {
      ASSERT_TRUE(ok) << c.text << ": " << why;
      EXPECT_EQ(url.host + (url.hostIsAddress ? " (address) " : " ") + std::to_string(url.port) +
                    " " + url.path,
                expected)
          << c.text;
    }
  }
}

TEST(HttpRequest, PostsTheFormWithItsFields) {
  HttpsUrl url;
  ASSERT_TRUE(ParseHttpsUrl("https://oauth.example.com/token?a=1", url));
  mail::Secret request;
  PostRequest(url, "grant_type=authorization_code&code=xyz", request);
  EXPECT_EQ(request.view(),
            "POST /token?a=1 HTTP/1.1\r\n"
            "Host: oauth.example.com\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Accept: application/json\r\n"
            "Content-Length: 38\r\n"
            "Connection: close\r\n"
            "\r\n"
            "grant_type=authorization_code&code=xyz");
  // RFC 9110 7.2: the port when it is not the scheme's, an IPv6 address
  // in brackets.
  ASSERT_TRUE(ParseHttpsUrl("https://[::1]:8443", url));
  PostRequest(url, "", request);
  EXPECT_TRUE(request.view().starts_with("POST / HTTP/1.1\r\nHost: [::1]:8443\r\n"));
  EXPECT_NE(request.view().find("Content-Length: 0\r\n"), std::string::npos);
}

// What a reader made of `bytes` fed in pieces that end at `cuts`, the
// connection ending after them when `end`: "status type|body", "!why" or
// "more".
std::string Read(std::string_view bytes, const std::vector<size_t>& cuts, bool end) {
  AnswerReader reader;
  AnswerReader::State state = AnswerReader::State::More;
  size_t at = 0;
  for (size_t i = 0; i <= cuts.size() && state == AnswerReader::State::More; ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : bytes.size();
    state = reader.Feed(bytes.substr(at, to - at));
    at = to;
  }
  if (state == AnswerReader::State::More && end) state = reader.End();
  if (state == AnswerReader::State::Bad) return "!" + reader.Why();
  if (state == AnswerReader::State::More) return "more";
  const HttpAnswer& a = reader.Answer();
  return std::to_string(a.status) + " " + a.contentType + "|" + std::string(a.body.view());
}

struct AnswerCase {
  std::string bytes;
  bool end;              // the connection ends after the bytes
  std::string expected;  // as Read gives it; "!words" for words the why holds
};

void Expect(const AnswerCase& c, const std::string& got, const std::string& how) {
  if (c.expected.starts_with("!")) {
    EXPECT_TRUE(got.starts_with("!") && got.find(c.expected.substr(1)) != std::string::npos)
        << how << ": " << c.bytes.substr(0, 200) << " gave " << got.substr(0, 200);
  } else {
    EXPECT_EQ(got, c.expected) << how << ": " << c.bytes.substr(0, 200);
  }
}

// Each case whole, byte by byte, and cut in two at every place.
void ExpectEveryWay(const std::vector<AnswerCase>& cases) {
  for (const AnswerCase& c : cases) {
    Expect(c, Read(c.bytes, {}, c.end), "whole");
    std::vector<size_t> bytewise;
    for (size_t i = 1; i < c.bytes.size(); ++i) bytewise.push_back(i);
    Expect(c, Read(c.bytes, bytewise, c.end), "byte by byte");
    for (size_t i = 1; i < c.bytes.size(); ++i)
      Expect(c, Read(c.bytes, {i}, c.end), "cut at " + std::to_string(i));
  }
}

TEST(HttpAnswer, ReadsEachFramingHoweverTheBytesArrive) {
  ExpectEveryWay({
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 13\r\n\r\n"
       "{\"a\":\"tok3n\"}",
       false, "200 application/json|{\"a\":\"tok3n\"}"},
      // What follows the body answers nothing: it is not read.
      {"HTTP/1.1 400 Bad Request\r\ncontent-length: 2\r\n\r\n{}GARBAGE", false, "400 |{}"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, "200 |"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n{}", false, "200 |{}"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2 , 2\r\n\r\n{}", false, "200 |{}"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: text/plain\r\n\r\n"
       "5;name=value\r\nhello\r\n6 ; x\r\n world\r\nA\r\n0123456789\r\n0\r\n"
       "X-Trailer: 1\r\nY-Trailer: 2\r\n\r\n",
       false, "200 text/plain|hello world0123456789"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n000\r\n\r\n", false, "200 |"},
      // RFC 9112 2.2: bare LF line ends.
      {"HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n2\n{}\n0\n\n", false, "200 |{}"},
      {"HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"x\":1}", true,
       "200 application/json|{\"x\":1}"},
      {"HTTP/1.1 200\r\n\r\n", true, "200 |"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", false,
       "200 |{}"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n"
       "Content-Type: x/y\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: a/b\r\n\r\nend",
       true, "200 a/b|end"},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", false, "204 |"},
      // Not whole yet.
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabc", false, "more"},
      {"HTTP/1.1 200 OK\r\n\r\nabc", false, "more"},
  });
}

TEST(HttpAnswer, RefusesWhatIsNotOneHttpAnswer) {
  ExpectEveryWay({
      {"220 smtp.example.com ESMTP\r\n", false, "!status line"},
      {"HTTP/2 200 OK\r\n\r\n", false, "!status line"},
      {"http/1.1 200 OK\r\n\r\n", false, "!status line"},
      {"\r\nHTTP/1.1 200 OK\r\n\r\n", false, "!status line"},
      {"HTTP/1.1 20 OK\r\n\r\n", false, "!3 digits"},
      {"HTTP/1.1 2000 OK\r\n\r\n", false, "!3 digits"},
      {"HTTP/1.1 099 Low\r\n\r\n", false, "!out of range"},
      {"HTTP/1.1 600 High\r\n\r\n", false, "!out of range"},
      {"HTTP/1.1 101 Switching Protocols\r\n\r\n", false, "!switched"},
      {"HTTP/1.1 200 OK\r\nX: a\r\n folded\r\n\r\n", false, "!folded"},
      {"HTTP/1.1 200 OK\r\n X: a\r\n\r\n", false, "!folded"},
      {"HTTP/1.1 200 OK\r\nContent-Length : 2\r\n\r\n{}", false, "!no header field"},
      {"HTTP/1.1 200 OK\r\nno colon\r\n\r\n", false, "!no header field"},
      {std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 27), false, "!control"},
      {"HTTP/1.1 200 OK\r\nX: a\rb\r\n\r\n", false, "!control"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}", false,
       "!not one number"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2, 3\r\n\r\n{}", false, "!not one number"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, "!not one number"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0x10\r\n\r\n", false, "!not one number"},
      {"HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\n", false, "!not one number"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", false, "!1 MiB"},
      {"HTTP/1.1 200 OK\r\nContent-Type: a/b\r\nContent-Type: c/d\r\n\r\n", false,
       "!two Content-Types"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", false, "!chunked alone"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n", false,
       "!chunked alone"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: "
       "2\r\n\r\n2\r\n{}\r\n0\r\n\r\n",
       false, "!both"},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false, "!HTTP/1.0"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\n", false, "!no hex number"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n\r\n", false, "!no hex number"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5x\r\n", false, "!no hex number"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF1\r\n", false,
       "!1 MiB"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhello\r\n0\r\n\r\n", false,
       "!longer than its size"},
      {"", true, "!without an answer"},
      {"HTTP/1.1 200 OK\r\nContent-", true, "!middle of the answer's head"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabc", true, "!before the answer's body"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true,
       "!before the answer's body"},
      {"HTTP/1.1 100 Continue\r\n\r\n", true, "!middle of the answer's head"},
  });
}

TEST(HttpAnswer, BoundsTheHeadAndTheBody) {
  const std::string big(70 * 1024, 'x');
  const std::string mib(1024 * 1024, 'y');
  const std::vector<AnswerCase> cases = {
      {"HTTP/1.1 200 OK\r\nX: " + big + "\r\n\r\n", false, "!head is larger than 64 KiB"},
      // Interim answers count towards the head.
      {[] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += "HTTP/1.1 100 Continue\r\n\r\n";
         return s + "HTTP/1.1 200 OK\r\n\r\n";
       }(),
       true, "!head is larger than 64 KiB"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1048577\r\n\r\n", false, "!more than 1 MiB"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n" + mib, false, "200 |" + mib},
      {"HTTP/1.1 200 OK\r\n\r\n" + mib + "z", true, "!larger than 1 MiB"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n80000\r\n" + mib.substr(0, 524288) +
           "\r\n80001\r\n",
       false, "!larger than 1 MiB"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" + big + "\r\n", false,
       "!chunk framing is larger than 64 KiB"},
  };
  for (const AnswerCase& c : cases) {
    Expect(c, Read(c.bytes, {}, c.end), "whole");
    std::vector<size_t> pieces;
    for (size_t i = 997; i < c.bytes.size(); i += 997) pieces.push_back(i);
    Expect(c, Read(c.bytes, pieces, c.end), "in pieces");
  }
}

TEST(HttpAnswer, StaysBadOnceBad) {
  AnswerReader reader;
  ASSERT_EQ(reader.Feed("HTTP/9.9 200 OK\r\n"), AnswerReader::State::Bad);
  const std::string why = reader.Why();
  EXPECT_EQ(reader.Feed("HTTP/1.1 200 OK\r\n\r\n"), AnswerReader::State::Bad);
  EXPECT_EQ(reader.End(), AnswerReader::State::Bad);
  EXPECT_EQ(reader.Why(), why);
}

// A TLS start that leaves the connection as it is, and notes whom it was
// asked to check.
struct PlainTls {
  TlsPeer* peer;
  TlsOutcome operator()(std::unique_ptr<Connection> c, const TlsPeer& p) const {
    *peer = p;
    return {0, std::move(c), "plain"};
  }
};

class NoNetwork final : public Network {
 public:
  ConnectOutcome Connect(const std::string&, uint16_t, Millis) override {
    return {VTL_SEND_RESOLVE_FAILED, nullptr, "no such name", ""};
  }
};

HttpsUrl Loopback(uint16_t port) {
  HttpsUrl url;
  url.host = "127.0.0.1";
  url.hostIsAddress = true;
  url.port = port;
  url.path = "/token";
  return url;
}

// The request's header lines and its blank line, which the server waits
// for before it answers.
constexpr const char* kAfterRequest = "<held 7>";

TEST(HttpPost, PostsOverTheConnectionAndReadsTheAnswer) {
  test::ScriptServer server(
      {std::string(kAfterRequest) +
       "<bytewise>HTTP/1.1 200 OK\\nContent-Type: application/json\\n"
       "Transfer-Encoding: chunked\\n\\n4\\n{\"a\"\\n4;x=y\\n:\"b\"\\n1\\n}\\n0\\n"});
  ASSERT_TRUE(server.listening());
  // Short sends and receptions, each interrupted once, change nothing.
  test::FaultyNetwork network(platform::SystemNetwork());
  TlsPeer peer;
  HttpsEnv env;
  env.network = &network;
  env.tls = PlainTls{&peer};
  env.caFile = "/ca.pem";
  env.timeout = Millis(20'000);
  HttpAnswer answer;
  std::string why;
  ASSERT_EQ(MakeHttps(env)->PostForm(Loopback(server.port()), "code=c0de&v=1", answer, why), 0)
      << why;
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.contentType, "application/json");
  EXPECT_EQ(answer.body.view(), "{\"a\":\"b\"}");
  EXPECT_EQ(peer.host, "127.0.0.1");
  EXPECT_TRUE(peer.hostIsAddress);
  EXPECT_EQ(peer.port, server.port());
  EXPECT_EQ(peer.caFile, "/ca.pem");
  mail::Secret request;
  PostRequest(Loopback(server.port()), "code=c0de&v=1", request);
  EXPECT_EQ(server.Raw(), request.view());
}

TEST(HttpPost, SaysWhatWentWrongWithTheResultOfEachFault) {
  const std::string body = "grant=s3cret";
  const struct {
    std::vector<std::string> turns;  // empty: no server, the name does not resolve
    int tls;                         // the TLS start's result
    int expected;
    const char* words;  // that the why holds, besides the endpoint
  } cases[] = {
      {{}, 0, VTL_SEND_RESOLVE_FAILED, "the name did not resolve: no such name"},
      {{"<stall>"}, 0, VTL_SEND_DIALOGUE_FAILED, "no answer from 127.0.0.1:"},
      {{"<held 7>HTTP/1.1 200 OK\\nContent-Length: 50\\n\\nabc", "<close>"},
       0,
       VTL_SEND_DIALOGUE_FAILED,
       ""},
      {{"<held 7>220 mail.example.com ESMTP"}, 0, VTL_SEND_DIALOGUE_FAILED, "status line"},
      {{"<close>"}, 0, VTL_SEND_DIALOGUE_FAILED, ""},
      {{"<stall>"},
       VTL_SEND_CERTIFICATE_REJECTED,
       VTL_SEND_CERTIFICATE_REJECTED,
       "TLS: not trusted"},
      {{"<stall>"}, VTL_SEND_TLS_FAILED, VTL_SEND_TLS_FAILED, "TLS: not trusted"},
  };
  for (const auto& c : cases) {
    NoNetwork none;
    std::unique_ptr<test::ScriptServer> server;
    HttpsEnv env;
    env.network = &none;
    uint16_t port = 443;
    if (!c.turns.empty()) {
      server = std::make_unique<test::ScriptServer>(c.turns);
      ASSERT_TRUE(server->listening());
      port = server->port();
      env.network = &platform::SystemNetwork();
    }
    const int tls = c.tls;
    env.tls = [tls](std::unique_ptr<Connection> conn, const TlsPeer&) {
      if (tls == 0) return TlsOutcome{0, std::move(conn), ""};
      return TlsOutcome{tls, nullptr, "not trusted"};
    };
    env.timeout = Millis(300);
    HttpAnswer answer;
    std::string why;
    const int result = MakeHttps(env)->PostForm(Loopback(port), body, answer, why);
    const std::string label = c.turns.empty() ? "no server" : c.turns[0];
    EXPECT_EQ(result, c.expected) << label << ": " << why;
    EXPECT_NE(why.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << why;
    EXPECT_NE(why.find(c.words), std::string::npos) << label << ": " << why;
    EXPECT_EQ(why.find("s3cret"), std::string::npos) << why;
    EXPECT_EQ(why.find("abc"), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace vtl::signin
