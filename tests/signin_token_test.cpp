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

// One recorded answer: the status line, the header fields, the body.
// (An answer holds a Secret, so it is neither copied nor moved.)
std::unique_ptr<HttpAnswer> Recorded(const std::string& name) {
  std::ifstream in(std::string(VTL_SIGNIN_ANSWERS) + "/" + name, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  auto answer = std::make_unique<HttpAnswer>();
  const size_t end = bytes.find("\r\n\r\n");
  EXPECT_NE(end, std::string::npos) << name;
  if (end == std::string::npos) return answer;
  answer->status = std::stoi(bytes.substr(9, 3));
  const std::string field = "\r\nContent-Type: ";
  const size_t type = bytes.find(field);
  if (type < end)
    answer->contentType =
        bytes.substr(type + field.size(), bytes.find("\r\n", type + 2) - type - field.size());
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
  // FIPS 180-2 B.1, through the same path.
  unsigned char digest[32];
  platform::Sha256("abc", digest);
  EXPECT_EQ(EncodeBase64Url(std::string_view(reinterpret_cast<const char*>(digest), 32)),
            "ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0");
}

TEST(SigninPkce, RandomBytesDiffer) {
  unsigned char a[32] = {}, b[32] = {};
  ASSERT_TRUE(platform::RandomBytes(a, sizeof a));
  ASSERT_TRUE(platform::RandomBytes(b, sizeof b));
  EXPECT_NE(std::string_view(reinterpret_cast<char*>(a), 32),
            std::string_view(reinterpret_cast<char*>(b), 32));
  EXPECT_EQ(CodeVerifier(a).size(), 43u);
}

TEST(SigninTokenForms, CarryWhatEachGrantNeeds) {
  Client pub;
  pub.id = "0a1b-client";
  Client conf;
  conf.id = "123.apps";
  conf.secret.Append("GOCSPX-s&cret");
  const auto form = [](auto make) {
    mail::Secret f;
    f.Append("stale");
    make(f);
    return std::string(f.view());
  };
  EXPECT_EQ(form([&](mail::Secret& f) {
              CodeForm(pub, "0.AX+y/z", "dBjf-_", "http://localhost:5000", f);
            }),
            "grant_type=authorization_code&code=0.AX%2By%2Fz&redirect_uri=http%3A%2F%2F"
            "localhost%3A5000&client_id=0a1b-client&code_verifier=dBjf-_");
  EXPECT_EQ(form([&](mail::Secret& f) { CodeForm(conf, "c", "v", "http://127.0.0.1:9/", f); }),
            "grant_type=authorization_code&code=c&redirect_uri=http%3A%2F%2F127.0.0.1%3A9%2F"
            "&client_id=123.apps&code_verifier=v&client_secret=GOCSPX-s%26cret");
  EXPECT_EQ(form([&](mail::Secret& f) { RefreshForm(pub, "r=1", "a b", f); }),
            "grant_type=refresh_token&refresh_token=r%3D1&client_id=0a1b-client&scope=a%20b");
  EXPECT_EQ(form([&](mail::Secret& f) { RefreshForm(conf, "r", "", f); }),
            "grant_type=refresh_token&refresh_token=r&client_id=123.apps"
            "&client_secret=GOCSPX-s%26cret");
  EXPECT_EQ(form([&](mail::Secret& f) { DeviceStartForm(pub, "a b", f); }),
            "client_id=0a1b-client&scope=a%20b");
  EXPECT_EQ(form([&](mail::Secret& f) { DevicePollForm(pub, "DAQ", f); }),
            "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code&device_code=DAQ"
            "&client_id=0a1b-client");
  EXPECT_EQ(form([&](mail::Secret& f) { DevicePollForm(conf, "DAQ", f); }),
            "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code&device_code=DAQ"
            "&client_id=123.apps&client_secret=GOCSPX-s%26cret");
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

TEST(SigninTokenAnswers, RecordedAnswersReadAsTheyShould) {
  const struct {
    const char* file;
    const char* expected;
  } cases[] = {
      {"microsoft-code.http",
       "tokens eyJ0eXAiOiJKV1QiLCJub25jZSI6ImZha2UifQ.fake-microsoft-access-token-1 "
       "refresh=0.AXEAfake-microsoft-refresh-token-1 expires=4778 "
       "account=Alice@Contoso.example"},
      {"microsoft-refresh-rotated.http",
       "tokens eyJ0eXAiOiJKV1QiLCJub25jZSI6ImZha2UifQ.fake-microsoft-access-token-2 "
       "refresh=0.AXEAfake-microsoft-refresh-token-2 expires=3599 account="},
      {"google-code.http",
       "tokens ya29.a0fake-google-access-token-1 refresh=1//0gfake-google-refresh-token-1 "
       "expires=3599 account=bob.example@gmail.com"},
      {"google-refresh-kept.http",
       "tokens ya29.a0fake-google-access-token-2 refresh= expires=3599 account="},
      {"custom-expires-string.http",
       "tokens fake-custom-access-token refresh=fake-custom-refresh-token expires=3600 account="},
      {"google-invalid-grant.http",
       "refused sign-in: the provider refused: invalid_grant: the grant is no longer valid "
       "(expired, revoked, or the password changed): sign in again"},
      {"microsoft-invalid-grant.http",
       "refused sign-in: the provider refused: invalid_grant (AADSTS700082): the grant is no "
       "longer valid (expired, revoked, or the password changed): sign in again"},
      {"microsoft-7000218.http",
       "refused sign-in: the provider refused: invalid_client (AADSTS7000218): the application "
       "is not a public client: turn on \"Allow public client flows\" in its Authentication "
       "settings"},
      {"microsoft-65001.http",
       "refused sign-in: the provider refused: invalid_grant (AADSTS65001): the application "
       "needs consent for this account: sign in again and accept, or have an administrator "
       "grant consent for the organization"},
      {"microsoft-50011.http",
       "refused sign-in: the provider refused: invalid_request (AADSTS50011): the redirect URI "
       "is not registered: register http://localhost as a \"Mobile and desktop applications\" "
       "redirect URI of the application"},
      {"microsoft-700016.http",
       "refused sign-in: the provider refused: unauthorized_client (AADSTS700016): the "
       "application was not found in the directory: check the client id, and the tenant in "
       "microsoft:TENANT"},
      {"microsoft-700025.http",
       "refused sign-in: the provider refused: invalid_client (AADSTS700025): the application "
       "is a public client and takes no secret: leave the client secret empty"},
      {"microsoft-50194.http",
       "refused sign-in: the provider refused: invalid_request (AADSTS50194): the application "
       "is single-tenant: sign in with microsoft:TENANT (its tenant id or domain), not "
       "microsoft"},
      {"microsoft-device-pending.http", "pending authorization_pending"},
      {"custom-slow-down.http", "slow down slow_down"},
      {"custom-access-denied.http",
       "refused sign-in: the provider refused: access_denied: the user declined the sign-in or "
       "the consent"},
      {"custom-no-access-token.http",
       "broken the token endpoint answered 200 without an access "
       "token"},
      {"server-error-html.http",
       "broken the token endpoint answered 500 with text/html; charset=utf-8, not JSON: the "
       "text does not start with '{' (at byte 0)"},
      {"custom-error-no-json.http",
       "broken the token endpoint answered 502 with text/plain, not JSON: the text does not "
       "start with '{' (at byte 0)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(Recorded(c.file)), c.expected) << c.file;
}

std::unique_ptr<HttpAnswer> Answer(int status, std::string_view body,
                                   std::string type = "application/json") {
  auto a = std::make_unique<HttpAnswer>();
  a->status = status;
  a->contentType = std::move(type);
  a->body.Append(body);
  return a;
}

TEST(SigninTokenAnswers, OddAnswers) {
  const struct {
    int status;
    const char* body;
    const char* expected;
  } cases[] = {
      {200, R"({"access_token":"a","token_type":"MAC"})",
       "broken the token endpoint gave a token of type \"MAC\", not Bearer"},
      {200, R"({"access_token":"a","expires_in":-5})", "tokens a refresh= expires=0 account="},
      {200, R"({"access_token":"a","expires_in":"soon"})", "tokens a refresh= expires=0 account="},
      {200, R"({"access_token":""})",
       "broken the token endpoint answered 200 without an access "
       "token"},
      {200, R"({"access_token":7})",
       "broken the token endpoint answered 200 without an access "
       "token"},
      {500, R"({"message":"down"})",
       "broken the token endpoint answered 500 without an OAuth "
       "error"},
      {302, R"({"access_token":"a"})",
       "broken the token endpoint answered 302 without an OAuth "
       "error"},
      {200, R"({"error":"invalid_scope","access_token":"a"})",
       "refused sign-in: the provider refused: invalid_scope"},
      {400, R"({"error":"invalid_client","error_description":"Unauthorized"})",
       "refused sign-in: the provider refused: invalid_client: \"Unauthorized\""},
      // A description is quoted up to its first line, and never with a run
      // long enough to be a code or a token.
      {400,
       R"({"error":"server_error","error_description":"AADSTS90002: Tenant 'x' not found.\r\nTrace ID: 1"})",
       "refused sign-in: the provider refused: server_error (AADSTS90002): \"AADSTS90002: Tenant "
       "'x' not found\""},
      {400,
       R"({"error":"invalid_request","error_description":"code 0.AXEAabcdefghijklmnopqrstuvwxyz0123 is bad"})",
       "refused sign-in: the provider refused: invalid_request: \"code [...] is bad\""},
      {400, "{\"error\":\"bad\\u0007\\u00e9\"}",
       "refused sign-in: the provider refused: bad\\x07\\xC3\\xA9"},
      {400, R"({"error":""})", "broken the token endpoint answered 400 without an OAuth error"},
      {400, R"({"error":5})", "broken the token endpoint answered 400 without an OAuth error"},
      {200, "", "broken the token endpoint answered 200 with application/json and an empty body"},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(Answer(c.status, c.body)), c.expected) << c.body;

  Tokens t;
  Refusal r;
  std::string why;
  const std::string longText(1000, 'x');
  ReadTokenAnswer(
      *Answer(400, R"({"error":")" + longText + R"(","error_description":")" + longText + "\"}"), t,
      r, why);
  EXPECT_EQ(r.error.size(), 203u);  // 200 and "..."
  EXPECT_EQ(r.description.size(), 203u);
  // Escaped bytes count as what they are shown as.
  std::string controls;
  for (int i = 0; i < 100; ++i) controls += "\\r\\n";
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
      {0, "invalid_grant", "sign in again"},
      {70000, "invalid_grant", "sign in again"},
      {0, "invalid_client", ""},
      {0, "", ""},
      {12345, "server_error", ""},
  };
  for (const auto& c : cases) {
    Refusal r;
    r.aadsts = c.aadsts;
    r.error = c.error;
    const std::string hint = HintFor(r);
    if (*c.words == '\0') {
      EXPECT_EQ(hint, "") << c.aadsts << " " << c.error;
    } else {
      EXPECT_NE(hint.find(c.words), std::string::npos) << c.aadsts << " " << c.error;
    }
  }
}

TEST(SigninDeviceAnswers, ReadThePrompt) {
  DevicePrompt p;
  Refusal r;
  std::string why;
  ASSERT_EQ(ReadDeviceAnswer(*Recorded("microsoft-device-start.http"), p, r, why),
            AnswerKind::Tokens)
      << why;
  EXPECT_EQ(p.deviceCode.view(), "DAQABAAEAAAfake-microsoft-device-code");
  EXPECT_EQ(p.userCode, "FAKE2XQ7K");
  EXPECT_EQ(p.verificationUri, "https://microsoft.com/devicelogin");
  EXPECT_EQ(p.interval, 5);
  EXPECT_EQ(p.expiresIn, 900);

  DevicePrompt q;
  ASSERT_EQ(ReadDeviceAnswer(*Answer(200, R"({"device_code":"d","user_code":"U","interval":"0",
                                     "verification_url":"https://www.google.com/device"})"),
                             q, r, why),
            AnswerKind::Tokens);
  EXPECT_EQ(q.verificationUri, "https://www.google.com/device");
  EXPECT_EQ(q.interval, 5);
  EXPECT_EQ(q.expiresIn, 900);

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
      {Jwt(R"({"email":7})"), ""},
      {Jwt(R"({"sub":"1"})"), ""},
      {Jwt("not json"), ""},
      {EncodeBase64Url("{}") + "." + EncodeBase64Url(R"({"email":"a@x"})"), ""},
      {"a.b@c.d", ""},
      {"", ""},
      {EncodeBase64Url("{}") + ".!!!.sig", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(AccountOfIdToken(c.token), c.account) << c.token;
}

}  // namespace
}  // namespace vtl::signin
