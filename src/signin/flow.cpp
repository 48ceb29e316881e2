#include "signin/flow.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

#include "mail/detail.h"
#include "mail/server_url.h"
#include "signin/form.h"
#include "signin/json.h"
#include "signin/providers.h"
#include "signin/redirect.h"
#include "vtl.h"

namespace vtl::signin {
namespace {

using mail::Secret;
using Clock = std::chrono::steady_clock;

// An access token with less than this left is refreshed before a send:
// it might end while the mail is on its way.
constexpr int64_t kRefreshMargin = 300;
// What a token answer that names no lifetime is taken to give.
constexpr int64_t kDefaultLifetime = 3600;
// A browser that connected sends its request at once; one that holds a
// connection open without a word (a preconnection) is left after this.
constexpr Millis kRequestWait{10'000};
constexpr size_t kMaxRequestHead = 8192;
// At most this many connections are read at once; the oldest goes first.
constexpr size_t kMaxIncoming = 32;
// While connections are open, the listener is asked this often.
constexpr Millis kAcceptSlice{50};
// The page is a few hundred bytes, which a socket takes at once.
constexpr Millis kAnswerWait{2'000};

int64_t Now(const SignInEnv& env) {
  if (env.now) return env.now();
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Shown(std::string_view text) {
  std::string out;
  mail::AppendPrintable(out, text, 254);
  return out;
}

// A bad argument's detail, or empty.
std::string AccountFault(const char* account) {
  if (account == nullptr) return "account is null";
  const std::string_view a(account);
  if (a.empty()) return "account is empty";
  if (a.size() > 254) return "account is longer than 254 octets";
  for (const char c : a)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
      return "account holds a space, a control character or a non-ASCII byte";
  const size_t at = a.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == a.size())
    return "account is not a mail address (local@domain)";
  return {};
}

// Printable ASCII without spaces: what a client id or secret is made of.
std::string TokenFault(const char* text, std::string_view name, bool optional) {
  if (text == nullptr || *text == '\0')
    return optional ? std::string() : std::string(name) + (text ? " is empty" : " is null");
  const std::string_view t(text);
  if (t.size() > 1024) return std::string(name) + " is longer than 1024 octets";
  for (const char c : t)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
      return std::string(name) + " holds a space, a control character or a non-ASCII byte";
  return {};
}

// What the arguments of a sign-in come to once checked.
struct Checked {
  Provider provider;
  HttpsUrl tokenUrl;
  Client client;
};

int CheckArgs(const SignInArgs& args, Checked& out, std::string& why) {
  if (args.provider == nullptr || *args.provider == '\0') {
    why = std::string("provider is ") + (args.provider ? "empty" : "null");
    return VTL_SEND_BAD_ARGUMENT;
  }
  std::string fault;
  if (!ParseProvider(args.provider, out.provider, &fault)) {
    why = "provider: " + fault;
    return VTL_SEND_BAD_ARGUMENT;
  }
  if (!ParseHttpsUrl(out.provider.tokenUrl, out.tokenUrl, &fault)) {
    why = "provider: the token URL: " + fault;
    return VTL_SEND_BAD_ARGUMENT;
  }
  why = TokenFault(args.clientId, "clientId", false);
  if (why.empty()) why = TokenFault(args.clientSecret, "clientSecret", true);
  if (why.empty()) why = AccountFault(args.account);
  if (!why.empty()) return VTL_SEND_BAD_ARGUMENT;
  out.client.id = args.clientId;
  if (args.clientSecret != nullptr) out.client.secret.Append(args.clientSecret);
  return VTL_SEND_OK;
}

// One request to the token endpoint. 0 with `kind` and the tokens (or the
// refusal); else the result of reaching the provider.
int AskToken(const SignInEnv& env, const HttpsUrl& url, const Secret& form, std::string_view step,
             AnswerKind& kind, Tokens& tokens, Refusal& refusal, std::string& why) {
  HttpAnswer answer;
  std::string failed;
  if (const int r = env.http->PostForm(url, form.view(), answer, failed)) {
    why = std::string(step) + ": " + failed;
    return r;
  }
  std::string broken;
  kind = ReadTokenAnswer(answer, tokens, refusal, broken);
  if (kind == AnswerKind::Broken) {
    why = std::string(step) + ": " + broken;
    return VTL_SEND_DIALOGUE_FAILED;
  }
  return VTL_SEND_OK;
}

// Whether `scope` asks for an ID token (OpenID Connect Core 3.1.2.1).
bool AsksOpenId(std::string_view scope) {
  while (!scope.empty()) {
    const size_t space = scope.find(' ');
    if (scope.substr(0, space) == "openid") return true;
    if (space == std::string_view::npos) break;
    scope.remove_prefix(space + 1);
  }
  return false;
}

// Checks the tokens of a new sign-in and keeps them as the account's grant.
int Keep(const SignInArgs& args, const Checked& checked, const SignInEnv& env, Tokens& tokens,
         std::string& why) {
  const std::string account = args.account;
  if (tokens.refreshToken.empty()) {
    why =
        "the provider gave no refresh token, so the sign-in cannot be kept (its scope needs "
        "offline access)";
    return VTL_SEND_AUTH_FAILED;
  }
  // The user may have picked another account in the browser: better said
  // now than at the first refused send. Where an ID token was asked for, one
  // that names the account must come: a code got by another request (one
  // that did not ask for openid, sent to the loopback by whoever learnt the
  // state) would otherwise pass unchecked.
  const std::string signedIn =
      tokens.idToken.empty() ? std::string() : AccountOfIdToken(tokens.idToken.view());
  if (signedIn.empty() && AsksOpenId(checked.provider.scope)) {
    why =
        "the provider's answer names no account (no ID token with an email or "
        "preferred_username), so the sign-in of " +
        Shown(account) + " is not kept";
    return VTL_SEND_AUTH_FAILED;
  }
  if (!signedIn.empty() && !mail::EqualNoCase(signedIn, account)) {
    why = "the browser signed in " + Shown(signedIn) + ", not " + Shown(account) +
          ": sign in again and choose " + Shown(account);
    return VTL_SEND_AUTH_FAILED;
  }
  Grant grant;
  grant.account = account;
  grant.provider = args.provider;
  grant.tokenUrl = checked.provider.tokenUrl;
  grant.scope = checked.provider.scope;
  grant.clientId = checked.client.id;
  grant.clientSecret.Append(checked.client.secret.view());
  grant.refreshToken.Append(tokens.refreshToken.view());
  grant.accessToken.Append(tokens.accessToken.view());
  grant.expiresAt = Now(env) + (tokens.expiresIn > 0 ? tokens.expiresIn : kDefaultLifetime);
  std::string failed;
  if (env.store->Save(grant, failed) != StoreStatus::Ok) {
    why = "signed in, but the sign-in could not be kept: " + failed;
    return VTL_SEND_AUTH_FAILED;
  }
  why = "signed in as " + Shown(account);
  return VTL_SEND_OK;
}

// Sends all of `bytes`, as far as the browser takes them.
void SendAll(Connection& c, std::string_view bytes, Millis timeout) {
  while (!bytes.empty()) {
    const IoResult r = c.Send(bytes.data(), bytes.size(), timeout);
    if (r.status == IoStatus::Interrupted) continue;
    if (r.status != IoStatus::Ok) return;
    bytes.remove_prefix(r.bytes);
  }
}

// A browser's connection while its request comes in.
struct Incoming {
  std::unique_ptr<Connection> connection;
  Secret head;
  Clock::time_point until;
};

// Waits for the browser to come back with this sign-in's state. 0 with the
// redirect; else 11 (or 3 when the listener fails). Several connections
// are read at once, so that none held open in silence (a browser's
// preconnection, another program) holds up the browser's request.
int AwaitRedirect(Listener& listener, std::string_view state, Millis wait, Redirect& out,
                  std::string& why) {
  const Clock::time_point deadline = Clock::now() + wait;
  std::deque<Incoming> incoming;
  char buffer[2048];
  const struct Wiped {
    char* bytes;
    ~Wiped() { platform::Wipe(bytes, sizeof buffer); }
  } wiped{buffer};
  for (;;) {
    const Clock::time_point now = Clock::now();
    const auto left = std::chrono::duration_cast<Millis>(deadline - now);
    if (left.count() <= 0) {
      why = "the sign-in was not finished within " + TimeText(wait) +
            " (the browser never came back to this program)";
      return VTL_SIGN_IN_NOT_FINISHED;
    }
    IoStatus status = IoStatus::TimedOut;
    std::unique_ptr<Connection> c =
        listener.Accept(incoming.empty() ? left : std::min(left, kAcceptSlice), status);
    if (c) {
      if (incoming.size() == kMaxIncoming) incoming.pop_front();
      incoming.push_back({std::move(c), Secret(), now + kRequestWait});
    } else if (status == IoStatus::Failed) {
      why = "the loopback listener failed while waiting for the browser";
      return VTL_SEND_SOCKET_FAILED;
    }
    for (auto it = incoming.begin(); it != incoming.end();) {
      const IoResult r = it->connection->Receive(buffer, sizeof buffer, Millis{0});
      if (r.status == IoStatus::Ok) it->head.Append(std::string_view(buffer, r.bytes));
      const bool whole = HeadComplete(it->head.view()) || it->head.view().size() >= kMaxRequestHead;
      const bool gone =
          r.status == IoStatus::Closed || r.status == IoStatus::Failed || Clock::now() >= it->until;
      if (!whole && !gone) {
        ++it;
        continue;
      }
      Redirect redirect;
      if (whole) {
        redirect = ReadRedirect(it->head.view(), state);
        SendAll(*it->connection, PageFor(redirect.kind), kAnswerWait);
      }
      it = incoming.erase(it);
      if (redirect.kind != Redirect::Kind::NotOurs) {
        out = std::move(redirect);
        return VTL_SEND_OK;
      }
    }
  }
}

std::string AuthorizationUrl(const Checked& c, std::string_view redirectUri, std::string_view state,
                             std::string_view challenge, std::string_view account) {
  const std::string& base = c.provider.authorizeUrl;
  std::string url = base + (base.find('?') == std::string::npos ? '?' : '&');
  url += "client_id=" + PercentEncode(c.client.id);
  url += "&response_type=code";
  url += "&redirect_uri=" + PercentEncode(redirectUri);
  url += "&scope=" + PercentEncode(c.provider.scope);
  url += "&state=" + std::string(state);
  url += "&code_challenge=" + std::string(challenge);
  url += "&code_challenge_method=S256";
  url += "&login_hint=" + PercentEncode(account);
  // Google gives a refresh token only for offline access, and only at the
  // first consent unless it is asked again.
  if (c.provider.kind == ProviderKind::Google) url += "&access_type=offline&prompt=consent";
  return url;
}

int RunSignIn(const SignInArgs& args, const SignInEnv& env, std::string& why) {
  Checked checked;
  if (const int r = CheckArgs(args, checked, why)) return r;
  unsigned char verifierBytes[32];
  unsigned char stateBytes[16];
  const bool random =
      env.random(verifierBytes, sizeof verifierBytes) && env.random(stateBytes, sizeof stateBytes);
  // Made in a string of its final size, whose bytes go once copied.
  std::string made = CodeVerifier(verifierBytes);
  Secret verifier(made);
  platform::Wipe(made.data(), made.size());
  platform::Wipe(verifierBytes, sizeof verifierBytes);
  if (!random) {
    why = "the system's random source gave nothing";
    return VTL_SEND_STARTUP_FAILED;
  }
  const std::string state = EncodeBase64Url(
      std::string_view(reinterpret_cast<const char*>(stateBytes), sizeof stateBytes));
  const std::string challenge = CodeChallenge(verifier.view());

  ListenOutcome listening = env.listen();
  if (!listening.listener) {
    why = "no loopback port for the browser to come back to: " + listening.why;
    return VTL_SEND_SOCKET_FAILED;
  }
  const std::string redirectUri =
      "http://" + checked.provider.redirectHost + ":" + std::to_string(listening.listener->Port());
  const std::string url = AuthorizationUrl(checked, redirectUri, state, challenge, args.account);
  std::string opened;
  if (!env.openBrowser(url, opened)) {
    why = "no browser could be started";
    if (!opened.empty()) why += ": " + opened;
    return VTL_SIGN_IN_NOT_FINISHED;
  }
  Redirect redirect;
  if (const int r = AwaitRedirect(*listening.listener, state, env.userTimeout, redirect, why))
    return r;
  listening.listener.reset();
  if (redirect.kind == Redirect::Kind::Refused) {
    Refusal refusal;
    refusal.error = redirect.error;
    refusal.description = redirect.description;
    refusal.aadsts = AadstsOfDescription(redirect.description);
    why = RefusalDetail("sign-in", refusal);
    return VTL_SEND_AUTH_FAILED;
  }
  Secret form;
  CodeForm(checked.client, redirect.code.view(), verifier.view(), redirectUri, form);
  redirect.code.Clear();
  verifier.Clear();
  AnswerKind kind = AnswerKind::Broken;
  Tokens tokens;
  Refusal refusal;
  if (const int r =
          AskToken(env, checked.tokenUrl, form, "token request", kind, tokens, refusal, why))
    return r;
  if (kind != AnswerKind::Tokens) {
    why = RefusalDetail("token request", refusal);
    return VTL_SEND_AUTH_FAILED;
  }
  return Keep(args, checked, env, tokens, why);
}

int RunDevice(const SignInArgs& args, const SignInEnv& env,
              const std::function<void(const DevicePrompt&)>& show, std::string& why) {
  Checked checked;
  if (const int r = CheckArgs(args, checked, why)) return r;
  HttpsUrl deviceUrl;
  if (checked.provider.deviceUrl.empty() || !ParseHttpsUrl(checked.provider.deviceUrl, deviceUrl)) {
    why = checked.provider.kind == ProviderKind::Google
              ? "Google does not allow the device sign-in for mail: sign in with a browser"
              : "this provider names no device sign-in endpoint: sign in with a browser";
    return VTL_SEND_BAD_ARGUMENT;
  }
  Secret form;
  DeviceStartForm(checked.client, checked.provider.scope, form);
  HttpAnswer answer;
  std::string failed;
  if (const int r = env.http->PostForm(deviceUrl, form.view(), answer, failed)) {
    why = "device sign-in request: " + failed;
    return r;
  }
  DevicePrompt prompt;
  Refusal refusal;
  std::string broken;
  switch (ReadDeviceAnswer(answer, prompt, refusal, broken)) {
    case AnswerKind::Tokens:
      break;
    case AnswerKind::Broken:
      why = "device sign-in request: " + broken;
      return VTL_SEND_DIALOGUE_FAILED;
    default:
      why = RefusalDetail("device sign-in request", refusal);
      return VTL_SEND_AUTH_FAILED;
  }
  show(prompt);
  // RFC 8628 3.5: poll no faster than the interval, 5 s more after each
  // slow_down, until the code expires.
  int64_t interval = std::clamp<int64_t>(prompt.interval, 1, 60);
  const int64_t lifetime = std::clamp<int64_t>(prompt.expiresIn, 1, 1800);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(lifetime);
  for (;;) {
    if (Clock::now() + std::chrono::seconds(interval) > deadline) {
      why = "the device sign-in was not finished within " + std::to_string(lifetime) +
            " s (the code expired)";
      return VTL_SIGN_IN_NOT_FINISHED;
    }
    const Millis pause{interval * 1000};
    if (env.sleep)
      env.sleep(pause);
    else
      std::this_thread::sleep_for(pause);
    Secret poll;
    DevicePollForm(checked.client, prompt.deviceCode.view(), poll);
    AnswerKind kind = AnswerKind::Broken;
    Tokens tokens;
    if (const int r =
            AskToken(env, checked.tokenUrl, poll, "device sign-in", kind, tokens, refusal, why))
      return r;
    if (kind == AnswerKind::Pending) continue;
    if (kind == AnswerKind::SlowDown) {
      interval += 5;
      continue;
    }
    if (kind == AnswerKind::Refused) {
      if (refusal.error == "expired_token") {
        why = "the device sign-in was not finished before the code expired";
        return VTL_SIGN_IN_NOT_FINISHED;
      }
      why = RefusalDetail("device sign-in", refusal);
      return VTL_SEND_AUTH_FAILED;
    }
    return Keep(args, checked, env, tokens, why);
  }
}

int RunKept(std::string_view account, std::string_view host, bool refresh, const SignInEnv& env,
            Secret& token, bool& fresh, std::string& why) {
  fresh = false;
  const std::string shown = Shown(account);
  Grant grant;
  std::string failed;
  switch (env.store->Load(account, grant, failed)) {
    case StoreStatus::Ok:
      break;
    case StoreStatus::Missing:
      why = "no sign-in kept for " + shown + ": call VTLSignIn";
      return VTL_SEND_AUTH_FAILED;
    case StoreStatus::Damaged:
      why = "the kept sign-in for " + shown + " cannot be read: sign in again";
      return VTL_SEND_AUTH_FAILED;
    case StoreStatus::Refused:
      why = "the kept sign-in for " + shown + " is not used: " + failed;
      return VTL_SEND_AUTH_FAILED;
    case StoreStatus::Failed:
      why = "the kept sign-in for " + shown + " cannot be reached: " + failed;
      return VTL_SEND_AUTH_FAILED;
  }
  // The grant's provider decides where its token may go, whatever the URL
  // names.
  Provider provider;
  if (!ParseProvider(grant.provider, provider)) {
    why = "the kept sign-in for " + shown + " cannot be read: sign in again";
    return VTL_SEND_AUTH_FAILED;
  }
  if (!TakesTokens(provider, host)) {
    why = "the sign-in kept for " + shown + " is for " +
          (provider.kind == ProviderKind::Microsoft ? "Microsoft's" : "Google's") +
          " mail servers, and its token goes to no other: not to " + Shown(host);
    return VTL_SEND_BAD_ARGUMENT;
  }
  const int64_t now = Now(env);
  if (!refresh && !grant.accessToken.empty() && grant.expiresAt - now > kRefreshMargin) {
    token.Append(grant.accessToken.view());
    return VTL_SEND_OK;
  }
  HttpsUrl url;
  if (!ParseHttpsUrl(grant.tokenUrl, url)) {
    why = "the kept sign-in for " + shown + " cannot be read: sign in again";
    return VTL_SEND_AUTH_FAILED;
  }
  Client client;
  client.id = grant.clientId;
  client.secret.Append(grant.clientSecret.view());
  Secret form;
  RefreshForm(client, grant.refreshToken.view(), grant.scope, form);
  AnswerKind kind = AnswerKind::Broken;
  Tokens tokens;
  Refusal refusal;
  if (const int r = AskToken(env, url, form, "refreshing the sign-in of " + shown, kind, tokens,
                             refusal, why))
    return r;
  if (kind != AnswerKind::Tokens) {
    why = refusal.error == "invalid_grant"
              ? "the provider no longer takes the sign-in kept for " + shown +
                    " (invalid_grant: unused for too long, revoked, or the password changed): "
                    "sign in again"
              : RefusalDetail("refreshing the sign-in of " + shown, refusal);
    return VTL_SEND_AUTH_FAILED;
  }
  // Microsoft's refresh tokens rotate on every use: the new one is kept at
  // once. Google's answer usually holds none, and the old one stays good.
  grant.accessToken.Clear();
  grant.accessToken.Append(tokens.accessToken.view());
  grant.expiresAt = now + (tokens.expiresIn > 0 ? tokens.expiresIn : kDefaultLifetime);
  if (!tokens.refreshToken.empty()) {
    grant.refreshToken.Clear();
    grant.refreshToken.Append(tokens.refreshToken.view());
  }
  // A grant that cannot be written back still gives this send its token;
  // the old refresh token stays valid for a while after rotation.
  std::string ignored;
  env.store->Save(grant, ignored);
  token.Append(tokens.accessToken.view());
  fresh = true;
  return VTL_SEND_OK;
}

}  // namespace

int SignIn(const SignInArgs& args, const SignInEnv& env, std::string* detail) noexcept {
  return mail::Guarded(detail, [&](std::string& why) { return RunSignIn(args, env, why); });
}

int SignInOnDevice(const SignInArgs& args, const SignInEnv& env,
                   const std::function<void(const DevicePrompt&)>& show,
                   std::string* detail) noexcept {
  return mail::Guarded(detail, [&](std::string& why) { return RunDevice(args, env, show, why); });
}

int SignOut(const char* account, const SignInEnv& env, std::string* detail) noexcept {
  return mail::Guarded(detail, [&](std::string& why) {
    why = AccountFault(account);
    if (!why.empty()) return VTL_SEND_BAD_ARGUMENT;
    std::string failed;
    switch (env.store->Remove(account, failed)) {
      case StoreStatus::Ok:
        why = "the sign-in kept for " + Shown(account) + " is forgotten";
        return VTL_SEND_OK;
      case StoreStatus::Missing:
        why = "no sign-in was kept for " + Shown(account);
        return VTL_SEND_OK;
      default:
        why = "the sign-in kept for " + Shown(account) + " could not be forgotten: " + failed;
        return VTL_SEND_AUTH_FAILED;
    }
  });
}

int KeptAccessToken(std::string_view account, std::string_view host, bool refresh,
                    const SignInEnv& env, Secret& token, bool& fresh, std::string& why) noexcept {
  token.Clear();
  return mail::Guarded(
      &why, [&](std::string& w) { return RunKept(account, host, refresh, env, token, fresh, w); });
}

}  // namespace vtl::signin
