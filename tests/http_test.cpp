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
      {"https://192.0.2.1:444/t", "192.0.2.1 (address) 444 /t"},
      {"https://[2001:db8::1]/t", "2001:db8::1 (address) 443 /t"},
      {"http://example.com/token", "!https"},
      {"example.com/token", "!no scheme"},
      {"https://user@example.com/t", "!user"},
      {"https://example.com/t#frag", "!fragment"},
      {"https://example.com/a b", "!space"},
      {"https://example.com/a\r\nX: y", "!control"},
      {"https://example.com/a%zz", "!two hex"},
      {"https://example.com/a<b>", "!percent-encode"},
      {"https://example.com:0/t", "!port"},
      {"https://example.com:65536/t", "!port"},
      {"https:///t", "!no host"},
      {"https://[2001:db8::1/t", "!IPv6"},
      {"https://10.1/t", "!IPv4"},
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

// Each case whole, byte by byte, and cut in two at every place; a long one
// in pieces of 997 bytes instead.
void ExpectEveryWay(const std::vector<AnswerCase>& cases) {
  for (const AnswerCase& c : cases) {
    std::vector<std::vector<size_t>> ways = {{}, {}};
    const size_t step = c.bytes.size() > 1000 ? 997 : 1;
    for (size_t i = step; i < c.bytes.size(); i += step) {
      ways[1].push_back(i);
      if (step == 1) ways.push_back({i});
    }
    for (const std::vector<size_t>& cuts : ways) {
      const std::string got = Read(c.bytes, cuts, c.end);
      const std::string how = c.bytes.substr(0, 100) + " cut in " + std::to_string(cuts.size() + 1);
      if (c.expected.starts_with("!"))
        EXPECT_TRUE(got.starts_with("!") && got.find(c.expected.substr(1)) != std::string::npos)
            << how << " gave " << got.substr(0, 200);
      else
        EXPECT_EQ(got, c.expected) << how;
    }
  }
}

TEST(HttpAnswer, ReadsEachFramingHoweverTheBytesArrive) {
  ExpectEveryWay({
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 13\r\n\r\n"
       "{\"a\":\"tok3n\"}",
       false, "200 application/json|{\"a\":\"tok3n\"}"},
      // What follows the body answers nothing: it is not read.
      {"HTTP/1.1 400 Bad Request\r\ncontent-length: 2, 2\r\n\r\n{}GARBAGE", false, "400 |{}"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n", false, "200 |"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nContent-Type: text/plain\r\n\r\n"
       "5;name=value\r\nhello\r\n6 ; x\r\n world\r\nA\r\n0123456789\r\n0\r\n"
       "X-Trailer: 1\r\nY-Trailer: 2\r\n\r\n",
       false, "200 text/plain|hello world0123456789"},
      // RFC 9112 2.2: bare LF line ends.
      {"HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n2\n{}\n000\n\n", false, "200 |{}"},
      {"HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"x\":1}", true,
       "200 application/json|{\"x\":1}"},
      // An interim answer's fields are not the final answer's.
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nContent-Type: x/y\r\n"
       "Content-Length: 9\r\n\r\nHTTP/1.1 200\r\nContent-Length: 2\r\n\r\n{}",
       false, "200 |{}"},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", false, "204 |"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabc", false, "more"},
  });
}

TEST(HttpAnswer, RefusesWhatIsNotOneHttpAnswerWithinItsBounds) {
  const std::string big(70 * 1024, 'x');
  const std::string mib(1024 * 1024, 'y');
  std::string interims;
  for (int i = 0; i < 3000; ++i) interims += "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
  ExpectEveryWay({
      {"220 smtp.example.com ESMTP\r\n", false, "!status line"},
      {"HTTP/2 200 OK\r\n\r\n", false, "!status line"},
      {"HTTP/1.1 20 OK\r\n\r\n", false, "!3 digits"},
      {"HTTP/1.1 600 High\r\n\r\n", false, "!out of range"},
      {"HTTP/1.1 101 Switching Protocols\r\n\r\n", false, "!switched"},
      {ok + "X: a\r\n folded\r\n\r\n", false, "!folded"},
      {ok + "Content-Length : 2\r\n\r\n{}", false, "!no header field"},
      {ok + std::string("X: a\0b\r\n\r\n", 10), false, "!control"},
      {ok + "X: a\rb\r\n\r\n", false, "!control"},
      {ok + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", false, "!not one number"},
      {ok + "Content-Length: 2, 3\r\n\r\n{}", false, "!not one number"},
      {ok + "Content-Length: -1\r\n\r\n", false, "!not one number"},
      {ok + "Content-Type: a/b\r\nContent-Type: c/d\r\n\r\n", false, "!two Content-Types"},
      {ok + "Transfer-Encoding: gzip, chunked\r\n\r\n", false, "!chunked alone"},
      {ok + "Transfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n2\r\n{}\r\n0\r\n\r\n", false,
       "!both"},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false, "!HTTP/1.0"},
      {chunked + "-5\r\n", false, "!no hex number"},
      {chunked + "5x\r\n", false, "!no hex number"},
      {chunked + "3\r\nhello\r\n0\r\n\r\n", false, "!longer than its size"},
      {"", true, "!without an answer"},
      {ok + "Content-", true, "!middle of the answer's head"},
      {chunked + "5\r\nab", true, "!before the answer's body"},
      // The bounds.
      {ok + "X: " + big + "\r\n\r\n", false, "!head is larger than 64 KiB"},
      {interims + ok + "\r\n", true, "!head is larger than 64 KiB"},
      {chunked + "1;" + big + "\r\n", false, "!chunk framing is larger than 64 KiB"},
      {ok + "Content-Length: 99999999999999999999999\r\n\r\n", false, "!more than 1 MiB"},
      {ok + "Content-Length: 1048576\r\n\r\n" + mib, false, "200 |" + mib},
      {ok + "\r\n" + mib + "z", true, "!larger than 1 MiB"},
      {chunked + "80000\r\n" + mib.substr(0, 524288) + "\r\n80001\r\n", false,
       "!larger than 1 MiB"},
      {chunked + "FFFFFFFFFFFFFFFFFFFF1\r\n", false, "!1 MiB"},
  });
}

class NoNetwork final : public Network {
 public:
  ConnectOutcome Connect(const std::string&, uint16_t, Millis) override {
    return {VTL_SEND_RESOLVE_FAILED, nullptr, "no such name", ""};
  }
};

HttpsUrl Loopback(uint16_t port) {
  HttpsUrl url;
  EXPECT_TRUE(ParseHttpsUrl("https://127.0.0.1:" + std::to_string(port) + "/token", url));
  return url;
}

// The server answers once it has the request's 7 lines up to the blank one.
TEST(HttpPost, PostsOverTheConnectionAndReadsTheAnswer) {
  test::ScriptServer server(
      {"<held 7><bytewise>HTTP/1.1 200 OK\\nContent-Type: a/json\\n"
       "Transfer-Encoding: chunked\\n\\n4\\n{\"a\"\\n4;x=y\\n:\"b\"\\n1\\n}\\n0\\n"});
  ASSERT_TRUE(server.listening());
  // Short sends and receptions, each interrupted once, change nothing.
  test::FaultyNetwork network(platform::SystemNetwork());
  TlsPeer peer;
  HttpsEnv env;
  env.network = &network;
  env.tls = [&](std::unique_ptr<Connection> c, const TlsPeer& p) {
    peer = p;
    return TlsOutcome{0, std::move(c), ""};
  };
  env.caFile = "/ca.pem";
  HttpAnswer answer;
  std::string why;
  ASSERT_EQ(MakeHttps(env)->PostForm(Loopback(server.port()), "code=c0de", answer, why), 0) << why;
  EXPECT_EQ(std::to_string(answer.status) + " " + answer.contentType + " " +
                std::string(answer.body.view()),
            "200 a/json {\"a\":\"b\"}");
  EXPECT_EQ(peer.host + " " + std::to_string(peer.hostIsAddress) + " " + peer.caFile,
            "127.0.0.1 1 /ca.pem");
  EXPECT_EQ(peer.port, server.port());
  mail::Secret request;
  PostRequest(Loopback(server.port()), "code=c0de", request);
  EXPECT_EQ(server.Raw(), request.view());
}

TEST(HttpPost, SaysWhatWentWrongWithTheResultOfEachFault) {
  const struct {
    std::vector<std::string> turns;  // empty: no server, the name does not resolve
    int tls;                         // the TLS start's result
    int expected;
    const char* words;  // that the why holds, besides the endpoint
  } cases[] = {
      {{}, 0, VTL_SEND_RESOLVE_FAILED, "the name did not resolve: no such name"},
      {{"<stall>"}, 0, VTL_SEND_DIALOGUE_FAILED, "no answer from 127.0.0.1:"},
      {{"<held 7>HTTP/1.1 200 OK\\nContent-Length: 50\\n\\nabc", "<close>"}, 0, 7, ""},
      {{"<held 7>220 mail.example.com ESMTP"}, 0, VTL_SEND_DIALOGUE_FAILED, "status line"},
      {{"<close>"}, 0, VTL_SEND_DIALOGUE_FAILED, ""},
      {{"<stall>"}, 9, VTL_SEND_CERTIFICATE_REJECTED, "TLS: not trusted"},
  };
  for (const auto& c : cases) {
    NoNetwork none;
    std::unique_ptr<test::ScriptServer> server;
    const int tls = c.tls;
    HttpsEnv env;
    env.network = &none;
    env.tls = [tls](std::unique_ptr<Connection> conn, const TlsPeer&) {
      return tls == 0 ? TlsOutcome{0, std::move(conn), ""}
                      : TlsOutcome{tls, nullptr, "not trusted"};
    };
    env.timeout = Millis(300);
    uint16_t port = 443;
    if (!c.turns.empty()) {
      server = std::make_unique<test::ScriptServer>(c.turns);
      port = server->port();
      env.network = &platform::SystemNetwork();
    }
    HttpAnswer answer;
    std::string why;
    const std::string label = c.turns.empty() ? "no server" : c.turns[0];
    EXPECT_EQ(MakeHttps(env)->PostForm(Loopback(port), "grant=s3cret", answer, why), c.expected)
        << label << ": " << why;
    EXPECT_NE(why.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << why;
    EXPECT_NE(why.find(c.words), std::string::npos) << label << ": " << why;
    EXPECT_EQ(why.find("s3cret"), std::string::npos) << why;
    EXPECT_EQ(why.find("abc"), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace vtl::signin
