// PKCE, the token requests, and what recorded answers of Microsoft's,
// Google's and other providers' endpoints are read as.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "signin/form.h"
#include "signin/json.h"
#include "signin/token.h"

namespace vtl::signin {
namespace {

// A recorded answer's status, Content-Type and body. (An answer holds a
// Secret, so it is neither copied nor moved.)
std::unique_ptr<HttpAnswer> Recorded(const std::string& name) {
  std::ifstream in(std::string(VTL_SIGNIN_ANSWERS) + "/" + name, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  auto answer = std::make_unique<HttpAnswer>();
  const size_t end = bytes.find("\r\n\r\n"), type = bytes.find("\r\nContent-Type: ");
  EXPECT_LT(end, bytes.size()) << name;
  if (end >= bytes.size()) return answer;
  answer->status = std::stoi(bytes.substr(9, 3));
  if (type < end)
    answer->contentType = bytes.substr(type + 16, bytes.find("\r\n", type + 2) - type - 16);
  answer->body.Append(std::string_view(bytes).substr(end + 4));
  return answer;
}

TEST(SigninPkce, MatchesTheVectorOfRfc7636AppendixB) {
  const unsigned char random[32] = {116, 24,  223, 180, 151, 153, 224, 37,  79,  250, 96,
                                    125, 216, 173, 187, 186, 22,  212, 37,  77,  105, 214,
                                    191, 240, 91,  88,  5,   88,  83,  132, 141, 121};
  const std::string verifier = CodeVerifier(random);
  EXPECT_EQ(verifier, "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
  EXPECT_EQ(CodeChallenge(verifier), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  unsigned char a[32] = {}, b[32] = {};
  ASSERT_TRUE(platform::RandomBytes(a, sizeof a) && platform::RandomBytes(b, sizeof b));
  EXPECT_NE(CodeVerifier(a), CodeVerifier(b));
}

TEST(SigninTokenForms, CarryWhatEachGrantNeeds) {
  Client pub, conf;
  pub.id = "0a1b-client";
  conf.id = "123.apps";
  conf.secret.Append("GOCSPX-s&cret");
  mail::Secret f[7];
  for (auto& form : f) form.Append("stale");
  CodeForm(pub, "0.AX+y/z", "dBjf-_", "http://localhost:5000", f[0]);
  CodeForm(conf, "c", "v", "http://127.0.0.1:9/", f[1]);
  RefreshForm(pub, "r=1", "a b", f[2]);
  RefreshForm(conf, "r", "", f[3]);
  DeviceStartForm(pub, "a b", f[4]);
  DevicePollForm(pub, "DAQ", f[5]);
  DevicePollForm(conf, "DAQ", f[6]);
  const std::string device = "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code";
  const std::string expected[7] = {
      "grant_type=authorization_code&code=0.AX%2By%2Fz&redirect_uri=http%3A%2F%2F"
      "localhost%3A5000&client_id=0a1b-client&code_verifier=dBjf-_",
      "grant_type=authorization_code&code=c&redirect_uri=http%3A%2F%2F127.0.0.1%3A9%2F"
      "&client_id=123.apps&code_verifier=v&client_secret=GOCSPX-s%26cret",
      "grant_type=refresh_token&refresh_token=r%3D1&client_id=0a1b-client&scope=a%20b",
      "grant_type=refresh_token&refresh_token=r&client_id=123.apps&client_secret=GOCSPX-s%26cret",
      "client_id=0a1b-client&scope=a%20b",
      device + "&device_code=DAQ&client_id=0a1b-client",
      device + "&device_code=DAQ&client_id=123.apps&client_secret=GOCSPX-s%26cret",
  };
  for (int i = 0; i < 7; ++i) EXPECT_EQ(f[i].view(), expected[i]) << i;
}

// What ReadTokenAnswer made of an answer, as one line.
std::string Read(const std::unique_ptr<HttpAnswer>& answer) {
  Tokens t;
  Refusal r;
  std::string why;
  switch (ReadTokenAnswer(*answer, t, r, why)) {
    case AnswerKind::Tokens:
      return "tokens " + std::string(t.accessToken.view()) +
             " refresh=" + std::string(t.refreshToken.view()) +
             " expires=" + std::to_string(t.expiresIn) +
             " account=" + AccountOfIdToken(t.idToken.view());
    case AnswerKind::Refused:
      return "refused " + RefusalDetail("sign-in", r);
    case AnswerKind::Pending:
      return "pending " + r.error;
    case AnswerKind::SlowDown:
      return "slow down " + r.error;
    case AnswerKind::Broken:
      return "broken " + why;
  }
  return {};
}

std::unique_ptr<HttpAnswer> Answer(int status, std::string_view body,
                                   std::string type = "application/json") {
  auto a = std::make_unique<HttpAnswer>();
  a->status = status;
  a->contentType = std::move(type);
  a->body.Append(body);
  return a;
}

// A recorded file, or a status and a body; what is read, whole or (ending
// in '*') up to the hint, whose words the hint table checks.
TEST(SigninTokenAnswers, ReadAsTheyShould) {
  const std::string refused = "refused sign-in: the provider refused: ";
  const std::string broken = "broken the token endpoint answered ";
  const struct {
    const char* file;  // or nullptr: `status` and `body`
    int status;
    const char* body;
    std::string expected;
  } cases[] = {
      {"microsoft-code.http", 0, "",
       "tokens eyJ0eXAiOiJKV1QiLCJub25jZSI6ImZha2UifQ.fake-microsoft-access-token-1 "
       "refresh=0.AXEAfake-microsoft-refresh-token-1 expires=4778 account=Alice@Contoso.example"},
      {"microsoft-refresh-rotated.http", 0, "",
       "tokens eyJ0eXAiOiJKV1QiLCJub25jZSI6ImZha2UifQ.fake-microsoft-access-token-2 "
       "refresh=0.AXEAfake-microsoft-refresh-token-2 expires=3599 account="},
      {"google-code.http", 0, "",
       "tokens ya29.a0fake-google-access-token-1 refresh=1//0gfake-google-refresh-token-1 "
       "expires=3599 account=bob.example@gmail.com"},
      {"google-refresh-kept.http", 0, "",
       "tokens ya29.a0fake-google-access-token-2 refresh= expires=3599 account="},
      {"custom-expires-string.http", 0, "",
       "tokens fake-custom-access-token refresh=fake-custom-refresh-token expires=3600 account="},
      {"google-invalid-grant.http", 0, "", refused + "invalid_grant: *"},
      {"microsoft-invalid-grant.http", 0, "", refused + "invalid_grant (AADSTS700082): *"},
      {"microsoft-7000218.http", 0, "",
       refused + "invalid_client (AADSTS7000218): the application is not a public client: turn "
                 "on \"Allow public client flows\" in its Authentication settings"},
      {"microsoft-65001.http", 0, "", refused + "invalid_grant (AADSTS65001): *"},
      {"microsoft-50011.http", 0, "", refused + "invalid_request (AADSTS50011): *"},
      {"microsoft-700016.http", 0, "", refused + "unauthorized_client (AADSTS700016): *"},
      {"microsoft-700025.http", 0, "", refused + "invalid_client (AADSTS700025): *"},
      {"microsoft-50194.http", 0, "", refused + "invalid_request (AADSTS50194): *"},
      {"microsoft-device-pending.http", 0, "", "pending authorization_pending"},
      {"custom-slow-down.http", 0, "", "slow down slow_down"},
      {"custom-access-denied.http", 0, "", refused + "access_denied: *"},
      {"custom-no-access-token.http", 0, "", broken + "200 without an access token"},
      {"server-error-html.http", 0, "",
       broken + "500 with text/html; charset=utf-8, not JSON: the text does not start with '{' "
                "(at byte 0)"},
      {"custom-error-no-json.http", 0, "", broken + "502 with text/plain, not JSON: *"},
      {nullptr, 200, R"({"access_token":"a","token_type":"MAC"})",
       "broken the token endpoint gave a token of type \"MAC\", not Bearer"},
      {nullptr, 200, R"({"access_token":"a","expires_in":-5})",
       "tokens a refresh= expires=0 account="},
      {nullptr, 200, R"({"access_token":"a","expires_in":"soon"})",
       "tokens a refresh= expires=0 account="},
      {nullptr, 200, R"({"access_token":""})", broken + "200 without an access token"},
      {nullptr, 302, R"({"access_token":"a"})", broken + "302 without an OAuth error"},
      {nullptr, 400, R"({"error":""})", broken + "400 without an OAuth error"},
      {nullptr, 200, "", broken + "200 with application/json and an empty body"},
      {nullptr, 200, R"({"error":"invalid_scope","access_token":"a"})", refused + "invalid_scope"},
      {nullptr, 400, R"({"error":"invalid_client","error_description":"Unauthorized"})",
       refused + "invalid_client: \"Unauthorized\""},
      // A description is quoted up to its first line, and never with a run
      // long enough to be a code or a token.
      {nullptr, 400,
       R"({"error":"server_error","error_description":"AADSTS90002: Tenant 'x' not found.\r\nTrace ID: 1"})",
       refused + "server_error (AADSTS90002): \"AADSTS90002: Tenant 'x' not found\""},
      {nullptr, 400,
       R"({"error":"invalid_request","error_description":"code 0.AXEAabcdefghijklmnopqrstuvwxyz0123 is bad"})",
       refused + "invalid_request: \"code [...] is bad\""},
      {nullptr, 400, "{\"error\":\"bad\\u0007\\u00e9\"}", refused + "bad\\x07\\xC3\\xA9"},
  };
  for (const auto& c : cases) {
    const std::string got = Read(c.file ? Recorded(c.file) : Answer(c.status, c.body));
    const std::string& want = c.expected;
    if (want.ends_with("*"))
      EXPECT_EQ(got.substr(0, want.size() - 1), want.substr(0, want.size() - 1)) << c.body;
    else
      EXPECT_EQ(got, want) << (c.file ? c.file : c.body);
  }
}

TEST(SigninTokenAnswers, RefusalsAreBounded) {
  Tokens t;
  Refusal r;
  std::string why;
  const std::string longText(1000, 'x');
  std::string controls;  // escaped bytes count as what they are shown as
  for (int i = 0; i < 100; ++i) controls += "\\r\\n";
  ReadTokenAnswer(
      *Answer(400, R"({"error":")" + longText + R"(","error_description":")" + longText + "\"}"), t,
      r, why);
  EXPECT_EQ(r.error.size(), 203u);  // 200 and "..."
  EXPECT_EQ(r.description.size(), 203u);
  ReadTokenAnswer(*Answer(400, R"({"error":"e","error_description":")" + controls + "\"}"), t, r,
                  why);
  EXPECT_EQ(r.description.substr(0, 8), "\\x0D\\x0A");
  EXPECT_EQ(r.description.size(), 203u);
  ReadTokenAnswer(*Answer(400, "oops", std::string(2, '\x01') + std::string(500, 't')), t, r, why);
  EXPECT_LT(why.size(), 200u);
  EXPECT_NE(why.find("\\x01\\x01ttt"), std::string::npos) << why;
}

TEST(SigninTokenAnswers, HintsForWhatAUserCanFix) {
  const struct {
    int64_t aadsts;
    const char* error;
    const char* words;  // empty: no hint
  } cases[] = {
      {65001, "invalid_grant", "consent"},
      {90094, "invalid_grant", "administrator"},
      {50011, "invalid_request", "http://localhost"},
      {700016, "unauthorized_client", "client id"},
      {7000218, "invalid_client", "Allow public client flows"},
      {700025, "invalid_client", "leave the client secret empty"},
      {50194, "invalid_request", "microsoft:TENANT"},
      {0, "access_denied", "declined"},
      {70000, "invalid_grant", "sign in again"},
      {0, "invalid_client", ""},
      {12345, "server_error", ""},
  };
  for (const auto& c : cases) {
    Refusal r;
    r.aadsts = c.aadsts;
    r.error = c.error;
    const std::string hint = HintFor(r);
    EXPECT_TRUE(*c.words ? hint.find(c.words) != std::string::npos : hint.empty())
        << c.aadsts << " " << c.error << ": " << hint;
  }
}

TEST(SigninDeviceAnswers, ReadThePrompt) {
  DevicePrompt p, q;
  Refusal r;
  std::string why;
  ASSERT_EQ(ReadDeviceAnswer(*Recorded("microsoft-device-start.http"), p, r, why),
            AnswerKind::Tokens)
      << why;
  EXPECT_EQ(
      std::string(p.deviceCode.view()) + " " + p.userCode + " " + p.verificationUri + " " +
          std::to_string(p.interval) + " " + std::to_string(p.expiresIn),
      "DAQABAAEAAAfake-microsoft-device-code FAKE2XQ7K https://microsoft.com/devicelogin 5 900");
  ASSERT_EQ(ReadDeviceAnswer(*Answer(200, R"({"device_code":"d","user_code":"U","interval":"0",
                                     "verification_url":"https://www.google.com/device"})"),
                             q, r, why),
            AnswerKind::Tokens);
  EXPECT_EQ(
      q.verificationUri + " " + std::to_string(q.interval) + " " + std::to_string(q.expiresIn),
      "https://www.google.com/device 5 900");
  for (const char* body : {
           R"({"user_code":"U","verification_uri":"https://x/"})",
           R"({"device_code":"d","verification_uri":"https://x/"})",
           R"({"device_code":"d","user_code":"U"})",
           R"({"device_code":"d","user_code":"U","verification_uri":"http://x/"})",
           "{\"device_code\":\"d\",\"user_code\":\"U\\n\",\"verification_uri\":\"https://x/\"}",
       }) {
    DevicePrompt bad;
    EXPECT_EQ(ReadDeviceAnswer(*Answer(200, body), bad, r, why), AnswerKind::Broken) << body;
    EXPECT_TRUE(bad.deviceCode.empty());
    EXPECT_NE(why.find("device authorization endpoint"), std::string::npos);
  }
  EXPECT_EQ(ReadDeviceAnswer(*Recorded("microsoft-7000218.http"), q, r, why), AnswerKind::Refused);
  EXPECT_EQ(r.aadsts, 7000218);
}

std::string Jwt(std::string_view payload) {
  return EncodeBase64Url(R"({"alg":"none"})") + "." + EncodeBase64Url(payload) + ".sig";
}

TEST(SigninIdToken, NamesTheAccount) {
  const struct {
    std::string token;
    const char* account;
  } cases[] = {
      {Jwt(R"({"email":"a@x.example","preferred_username":"b@x.example"})"), "a@x.example"},
      {Jwt(R"({"preferred_username":"b@x.example"})"), "b@x.example"},
      {Jwt(R"({"email":"","preferred_username":"b@x.example"})"), "b@x.example"},
      {Jwt(R"({"email":"a\n@x","preferred_username":"b@x.example"})"), "b@x.example"},
      {Jwt(R"({"sub":"1"})"), ""},
      {Jwt("not json"), ""},
      {EncodeBase64Url("{}") + "." + EncodeBase64Url(R"({"email":"a@x"})"), ""},
      {"a.b@c.d", ""},
      {EncodeBase64Url("{}") + ".!!!.sig", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(AccountOfIdToken(c.token), c.account) << c.token;
}

}  // namespace
}  // namespace vtl::signin
