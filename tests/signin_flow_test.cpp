// The sign-in against a fake provider, a fake browser and a store in
// memory: the whole flow with no desktop and no network.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "signin/flow.h"
#include "signin/form.h"
#include "signin/json.h"
#include "support/allocations.h"
#include "vtl.h"

namespace vtl::signin {
namespace {

// Every secret the fake provider hands out or is given: none may show in
// a detail.
const std::vector<std::string> kSecrets = {"C0DE-xyz", "at-1",     "at-2",    "rt-1",
                                           "rt-2",     "g-secret", "dev-code"};

std::string IdToken(const std::string& email) {
  return EncodeBase64Url("{\"alg\":\"none\"}") + "." +
         EncodeBase64Url("{\"email\":\"" + email + "\"}") + ".sig";
}

std::string TokenJson(const std::string& access, const std::string& refresh, int expiresIn,
                      const std::string& email = "") {
  std::string json = "{\"token_type\":\"Bearer\",\"access_token\":\"" + access +
                     "\",\"expires_in\":" + std::to_string(expiresIn);
  if (!refresh.empty()) json += ",\"refresh_token\":\"" + refresh + "\"";
  if (!email.empty()) json += ",\"id_token\":\"" + IdToken(email) + "\"";
  return json + "}";
}

class FakeConnection : public Connection {
 public:
  FakeConnection(std::string request, std::vector<std::string>& answers)
      : in_(std::move(request)), answers_(answers) {}
  // What a browser brought holds the code: gone before it is freed.
  ~FakeConnection() override {
    in_.assign(in_.size(), '\0');
    answers_.push_back(out);
  }
  IoResult Send(const char* data, size_t size, Millis) override {
    out.append(data, size);
    return {IoStatus::Ok, size};
  }
  IoResult Receive(char* buffer, size_t size, Millis) override {
    if (at_ == in_.size()) return {IoStatus::Closed, 0};
    const size_t n = std::min(size, in_.size() - at_);
    in_.copy(buffer, n, at_);
    at_ += n;
    return {IoStatus::Ok, n};
  }
  std::string out;

 private:
  std::string in_;
  size_t at_ = 0;
  std::vector<std::string>& answers_;
};

// The provider, the browser, the listener and the store of one test.
struct World {
  // What the browser does with the authorization URL: "accept", "cancel",
  // "none" (never comes back); "fail": it cannot be started.
  std::string browser = "accept";
  std::string authorizationUrl;
  std::vector<std::pair<int, std::string>> answers;  // the token endpoint's, in turn
  size_t answered = 0;
  std::vector<std::string> forms;  // what it was sent
  int unreachable = 0;
  std::deque<std::unique_ptr<Connection>> pending;  // at the listener
  std::vector<std::string> served;                  // what each browser's request was answered
  // Every grant written, the last one for each name counting: none is
  // freed while a test watches for secrets.
  std::vector<std::pair<std::string, std::string>> kept;
  const std::string* Kept(const std::string& name) const {
    const std::string* found = nullptr;
    for (const auto& [n, text] : kept)
      if (n == name) found = text.empty() ? nullptr : &text;
    return found;
  }
  int64_t now = 1'800'000'000;
  std::vector<Millis> slept;
};

class FakeHttp : public Http {
 public:
  explicit FakeHttp(World& w) : w_(w) {}
  int PostForm(const HttpsUrl&, std::string_view form, HttpAnswer& answer,
               std::string& why) override {
    w_.forms.emplace_back(form);
    if (w_.unreachable != 0 || w_.answered == w_.answers.size()) {
      why = "provider.example:443: no address accepted the connection";
      return w_.unreachable != 0 ? w_.unreachable : VTL_SEND_CONNECT_FAILED;
    }
    const auto& [status, body] = w_.answers[w_.answered++];
    answer.status = status;
    answer.contentType = status == 500 ? "text/html" : "application/json";
    answer.body.Append(body);
    return 0;
  }

 private:
  World& w_;
};

class FakeListener : public Listener {
 public:
  explicit FakeListener(World& w) : w_(w) {}
  uint16_t Port() const override { return 50123; }
  std::unique_ptr<Connection> Accept(Millis, IoStatus& status) override {
    status = IoStatus::TimedOut;
    if (w_.pending.empty()) return nullptr;
    std::unique_ptr<Connection> c = std::move(w_.pending.front());
    w_.pending.pop_front();
    return c;
  }

 private:
  World& w_;
};

class FakeStore : public GrantStore {
 public:
  explicit FakeStore(World& w) : w_(w) {}
  StoreStatus Load(std::string_view account, Grant& grant, std::string&) override {
    const std::string* text = w_.Kept(GrantName(account));
    if (text == nullptr) return StoreStatus::Missing;
    return ReadGrant(*text, grant) ? StoreStatus::Ok : StoreStatus::Damaged;
  }
  StoreStatus Save(const Grant& grant, std::string&) override {
    mail::Secret text;
    WriteGrant(grant, text);
    w_.kept.emplace_back(GrantName(grant.account), text.view());
    return StoreStatus::Ok;
  }
  StoreStatus Remove(std::string_view account, std::string&) override {
    if (w_.Kept(GrantName(account)) == nullptr) return StoreStatus::Missing;
    w_.kept.emplace_back(GrantName(account), "");
    return StoreStatus::Ok;
  }

 private:
  World& w_;
};

std::string Query(const std::string& url, const char* name) {
  std::string value;
  FormValue(url.substr(url.find('?') + 1), name, value);
  return value;
}

struct Harness {
  World w;
  FakeHttp http{w};
  FakeStore store{w};
  SignInEnv env;
  Harness() {
    env.http = &http;
    env.store = &store;
    env.now = [this] { return w.now; };
    env.sleep = [this](Millis m) { w.slept.push_back(m); };
    env.userTimeout = Millis{1000};
    env.random = [](unsigned char* out, size_t n) {
      for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(i * 7 + 1);
      return true;
    };
    env.listen = [this] { return ListenOutcome{std::make_unique<FakeListener>(w), {}}; };
    env.openBrowser = [this](const std::string& url, std::string& why) {
      w.authorizationUrl = url;
      if (w.browser == "fail") {
        why = "xdg-open: no handler";
        return false;
      }
      // Made in place: a copy of the code freed here would count as the
      // flow's.
      auto request = [this](std::string_view target, std::string_view state = "") {
        std::string text;
        text.reserve(256);
        text.append("GET ").append(target).append(state);
        text.append(" HTTP/1.1\r\nHost: localhost\r\n\r\n");
        return std::make_unique<FakeConnection>(std::move(text), w.served);
      };
      // Strays first: a favicon, and another sign-in's redirect.
      w.pending.push_back(request("/favicon.ico"));
      w.pending.push_back(request("/?code=C0DE-xyz&state=another"));
      const std::string state = Query(url, "state");
      if (w.browser == "accept") w.pending.push_back(request("/?code=C0DE-xyz&state=", state));
      if (w.browser == "cancel")
        w.pending.push_back(
            request("/?error=access_denied&error_description=AADSTS65004%3A+User+declined+to+"
                    "consent&state=",
                    state));
      return true;
    };
  }
  int SignIn(const char* provider, const char* account = "yamada@contoso.com",
             const char* secret = nullptr) {
    detail.clear();
    const int r = vtl::signin::SignIn({provider, "client-1", secret, account}, env, &detail);
    for (const std::string& s : kSecrets)
      EXPECT_EQ(std::string::npos, detail.find(s)) << "the detail shows " << s << ": " << detail;
    return r;
  }
  std::string detail;
};

TEST(SignIn, CodeWithPkceThroughTheLoopbackIsKept) {
  Harness h;
  h.w.answers.push_back({200, TokenJson("at-1", "rt-1", 3600, "Yamada@Contoso.com")});
  ASSERT_EQ(0, h.SignIn("microsoft")) << h.detail;
  const std::string& url = h.w.authorizationUrl;
  EXPECT_TRUE(url.starts_with("https://login.microsoftonline.com/common/oauth2/v2.0/authorize?"));
  EXPECT_EQ("http://localhost:50123", Query(url, "redirect_uri"));
  EXPECT_EQ("code", Query(url, "response_type"));
  EXPECT_EQ("S256", Query(url, "code_challenge_method"));
  EXPECT_EQ("yamada@contoso.com", Query(url, "login_hint"));
  EXPECT_NE(std::string::npos, Query(url, "scope").find("SMTP.Send"));
  EXPECT_GE(Query(url, "state").size(), 16u);
  // The strays got a 404; the redirect a page that says the window may close.
  ASSERT_EQ(3u, h.w.served.size());
  EXPECT_TRUE(h.w.served[0].starts_with("HTTP/1.1 404"));
  EXPECT_TRUE(h.w.served[1].starts_with("HTTP/1.1 404"));
  EXPECT_NE(std::string::npos, h.w.served[2].find("You may close this window"));
  // The code went to the token endpoint with the verifier of the challenge.
  ASSERT_EQ(1u, h.w.forms.size());
  const std::string& form = h.w.forms[0];
  std::string verifier;
  ASSERT_TRUE(FormValue(form, "code_verifier", verifier));
  EXPECT_EQ(43u, verifier.size());
  EXPECT_EQ(Query(url, "code_challenge"), CodeChallenge(verifier));
  EXPECT_NE(std::string::npos, form.find("code=C0DE-xyz"));
  EXPECT_EQ(std::string::npos, form.find("client_secret"));
  // Kept, and had again without the provider while it is fresh.
  mail::Secret token;
  bool fresh = true;
  std::string why;
  ASSERT_EQ(0, KeptAccessToken("YAMADA@contoso.com", false, h.env, token, fresh, why)) << why;
  EXPECT_EQ("at-1", token.view());
  EXPECT_FALSE(fresh);
}

TEST(SignIn, EveryWayItFailsSaysWhy) {
  const struct {
    const char* name;
    const char* provider;
    const char* account;
    const char* browser;
    std::vector<std::pair<int, std::string>> answers;
    int unreachable;
    int result;
    const char* detail;
  } cases[] = {
      {"cancelled", "microsoft", "yamada@contoso.com", "cancel", {}, 0, 10, "access_denied"},
      {"another account",
       "microsoft",
       "yamada@contoso.com",
       "accept",
       {{200, TokenJson("at-1", "rt-1", 3600, "sato@contoso.com")}},
       0,
       10,
       "signed in sato@contoso.com, not yamada@contoso.com"},
      {"public client flows off",
       "microsoft:contoso.com",
       "yamada@contoso.com",
       "accept",
       {{401,
         "{\"error\":\"invalid_client\",\"error_description\":\"AADSTS7000218: The request body "
         "must contain client_assertion\",\"error_codes\":[7000218]}"}},
       0,
       10,
       "7000218"},
      {"not JSON", "google", "a@gmail.com", "accept", {{500, "<html>oops</html>"}}, 0, 7, ""},
      {"no refresh token",
       "google",
       "a@gmail.com",
       "accept",
       {{200, TokenJson("at-1", "", 3600)}},
       0,
       10,
       "no refresh token"},
      {"no browser", "google", "a@gmail.com", "fail", {}, 0, 11, "no browser"},
      {"never back", "google", "a@gmail.com", "none", {}, 0, 11, "not finished within 1 s"},
      {"unreachable", "google", "a@gmail.com", "accept", {}, 4, 4, "provider.example:443"},
      {"http endpoint",
       "http://a.example/auth https://a.example/token s",
       "a@b.example",
       "accept",
       {},
       0,
       5,
       "provider"},
      {"no scope",
       "https://a.example/auth https://a.example/token",
       "a@b.example",
       "accept",
       {},
       0,
       5,
       "provider"},
      {"not an address", "google", "yamada", "accept", {}, 0, 5, "account"},
      {"unknown preset", "yahoo", "a@b.example", "accept", {}, 0, 5, "provider"},
  };
  for (const auto& c : cases) {
    Harness h;
    h.w.browser = c.browser;
    h.w.answers.assign(c.answers.begin(), c.answers.end());
    h.w.unreachable = c.unreachable;
    EXPECT_EQ(c.result, h.SignIn(c.provider, c.account, "g-secret")) << c.name << ": " << h.detail;
    EXPECT_NE(std::string::npos, h.detail.find(c.detail)) << c.name << ": " << h.detail;
    EXPECT_TRUE(h.w.kept.empty()) << c.name;
  }
  Harness h;
  EXPECT_EQ(5, vtl::signin::SignIn({"google", "", nullptr, "a@b.example"}, h.env, &h.detail));
  EXPECT_NE(std::string::npos, h.detail.find("clientId")) << h.detail;
}

// A send's token: kept while fresh, refreshed when near its end, the
// rotated refresh token kept at once and Google's unrotated one kept on.
TEST(SignIn, KeptTokenIsRefreshedAndRotationKept) {
  Harness h;
  h.w.answers.push_back({200, TokenJson("at-1", "rt-1", 3600, "a@gmail.com")});
  ASSERT_EQ(0, h.SignIn("google", "a@gmail.com", "g-secret")) << h.detail;
  mail::Secret token;
  bool fresh = false;
  std::string why;
  h.w.now += 3600 - 299;  // less than 5 minutes left
  h.w.answers.push_back({200, TokenJson("at-2", "", 3600)});
  ASSERT_EQ(0, KeptAccessToken("a@gmail.com", false, h.env, token, fresh, why)) << why;
  EXPECT_EQ("at-2", token.view());
  EXPECT_TRUE(fresh);
  EXPECT_NE(std::string::npos, h.w.forms.back().find("refresh_token=rt-1"));
  EXPECT_NE(std::string::npos, h.w.forms.back().find("client_secret=g-secret"));
  // Asked to refresh (the server refused the token): rt-1 still, then rotated.
  h.w.answers.push_back({200, TokenJson("at-3", "rt-2", 3600)});
  ASSERT_EQ(0, KeptAccessToken("a@gmail.com", true, h.env, token, fresh, why)) << why;
  EXPECT_NE(std::string::npos, h.w.forms.back().find("refresh_token=rt-1"));
  h.w.now += 4000;
  h.w.answers.push_back({400, "{\"error\":\"invalid_grant\",\"error_description\":\"expired\"}"});
  EXPECT_EQ(10, KeptAccessToken("a@gmail.com", false, h.env, token, fresh, why));
  EXPECT_NE(std::string::npos, h.w.forms.back().find("refresh_token=rt-2"));
  EXPECT_NE(std::string::npos, why.find("sign in again")) << why;
  EXPECT_TRUE(token.empty());

  EXPECT_EQ(0, SignOut("A@gmail.com", h.env, &why));
  EXPECT_EQ(0, SignOut("a@gmail.com", h.env, &why));  // none kept is no failure
  EXPECT_EQ(5, SignOut("", h.env, &why));
  EXPECT_EQ(10, KeptAccessToken("a@gmail.com", false, h.env, token, fresh, why));
  EXPECT_EQ("no sign-in kept for a@gmail.com: call VTLSignIn", why);
  for (const std::string& s : kSecrets) EXPECT_EQ(std::string::npos, why.find(s));
}

// RFC 8628: polled at the interval, 5 s more after slow_down.
TEST(SignIn, DeviceFlowPollsAtTheProvidersPace) {
  Harness h;
  h.w.answers = {{200,
                  "{\"device_code\":\"dev-code\",\"user_code\":\"ABCD-EFGH\",\"verification_uri\":"
                  "\"https://microsoft.com/devicelogin\",\"interval\":5,\"expires_in\":900}"},
                 {400, "{\"error\":\"authorization_pending\"}"},
                 {400, "{\"error\":\"slow_down\"}"},
                 {200, TokenJson("at-1", "rt-1", 3600, "yamada@contoso.com")}};
  std::string shown;
  const SignInArgs args{"microsoft", "client-1", nullptr, "yamada@contoso.com"};
  ASSERT_EQ(0, SignInOnDevice(
                   args, h.env,
                   [&](const DevicePrompt& p) { shown = p.verificationUri + " " + p.userCode; },
                   &h.detail))
      << h.detail;
  EXPECT_EQ("https://microsoft.com/devicelogin ABCD-EFGH", shown);
  EXPECT_EQ((std::vector<Millis>{Millis{5000}, Millis{5000}, Millis{10000}}), h.w.slept);
  EXPECT_NE(std::string::npos, h.w.forms.back().find("device_code=dev-code"));
  EXPECT_EQ(1u, h.w.kept.size());
  const SignInArgs google{"google", "client-1", "g-secret", "a@gmail.com"};
  EXPECT_EQ(5, SignInOnDevice(
                   google, h.env, [](const DevicePrompt&) {}, &h.detail));
  EXPECT_NE(std::string::npos, h.detail.find("Google does not allow")) << h.detail;
}

// Codes, verifiers, tokens and secrets pass through forms, answers, JSON
// and the kept grant: every block that held one is wiped before it is
// freed.
TEST(SignIn, SecretsAreWipedBeforeTheirMemoryIsFreed) {
  Harness h;
  h.w.answers = {{200, TokenJson("at-1", "rt-1", 3600, "a@gmail.com")},
                 {200, TokenJson("at-2", "rt-2", 3600)}};
  h.w.forms.reserve(8);
  h.w.kept.reserve(8);
  h.w.served.reserve(8);
  unsigned char bytes[32];
  h.env.random(bytes, sizeof bytes);
  std::vector<std::string> secrets = kSecrets;
  secrets.push_back(CodeVerifier(bytes));
  g_secretsFreed = 0;
  g_secrets = &secrets;
  const int signedIn = h.SignIn("google", "a@gmail.com", "g-secret");
  mail::Secret token;
  bool fresh = false;
  std::string why;
  const int refreshed = KeptAccessToken("a@gmail.com", true, h.env, token, fresh, why);
  token.Clear();
  g_secrets = nullptr;
  EXPECT_EQ(0, signedIn) << h.detail;
  EXPECT_EQ(0, refreshed) << why;
  EXPECT_EQ(0, g_secretsFreed);
}

}  // namespace
}  // namespace vtl::signin
