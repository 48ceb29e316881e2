#include "signin/token.h"

#include <algorithm>

#include "mail/detail.h"
#include "mail/server_url.h"
#include "platform/platform.h"
#include "signin/form.h"
#include "signin/json.h"

namespace vtl::signin {
namespace {

// How much of a provider's error and description a refusal keeps.
constexpr size_t kMaxRefusalText = 200;

const JsonObject::Member* Find(const JsonObject& object, std::string_view name) {
  for (const auto& m : object.members)
    if (m.name == name) return &m;
  return nullptr;
}

// A member's string value into a Secret, never through a plain copy.
bool TakeSecret(const JsonObject& object, std::string_view name, mail::Secret& out) {
  out.Clear();
  const JsonObject::Member* m = Find(object, name);
  if (!m || m->kind != JsonObject::Member::Kind::String) return false;
  out.Append(m->text);
  return !out.empty();
}

// At most `limit` characters of printable ASCII (and "..." for a cut):
// the bound is on what is shown, however many bytes were escaped.
std::string Printable(std::string_view text, size_t limit) {
  std::string out;
  size_t taken = 0;
  for (; taken < text.size(); ++taken) {
    std::string one;
    mail::AppendPrintable(one, text.substr(taken, 1));
    if (out.size() + one.size() > limit) break;
    out += one;
  }
  if (taken < text.size()) out += "...";
  return out;
}

}  // namespace

int64_t AadstsOfDescription(std::string_view d) {
  constexpr std::string_view kPrefix = "AADSTS";
  if (!d.starts_with(kPrefix)) return 0;
  int64_t n = 0;
  size_t i = kPrefix.size();
  for (; i < d.size() && i < kPrefix.size() + 9 && d[i] >= '0' && d[i] <= '9'; ++i)
    n = n * 10 + (d[i] - '0');
  return n;
}

namespace {

void ReadRefusal(const JsonObject& json, Refusal& refusal) {
  refusal.error = Printable(json.String("error").value_or(""), kMaxRefusalText);
  refusal.description = Printable(json.String("error_description").value_or(""), kMaxRefusalText);
  const std::vector<int64_t> codes = json.Integers("error_codes");
  refusal.aadsts = !codes.empty() && codes[0] > 0
                       ? codes[0]
                       : AadstsOfDescription(json.String("error_description").value_or(""));
}

AnswerKind RefusalKind(const Refusal& refusal) {
  if (refusal.error == "authorization_pending") return AnswerKind::Pending;
  if (refusal.error == "slow_down") return AnswerKind::SlowDown;
  return AnswerKind::Refused;
}

// Reads an answer's body as JSON. An OAuth error (RFC 6749 5.2) counts
// with any status; Broken with `why` for a body that is not JSON.
AnswerKind ReadJson(std::string_view endpoint, const HttpAnswer& answer, JsonObject& json,
                    Refusal& refusal, std::string& why) {
  refusal = Refusal{};
  std::string fault;
  if (!ParseJsonObject(answer.body.view(), json, &fault)) {
    why = "the " + std::string(endpoint) + " answered " + std::to_string(answer.status) + " with ";
    if (answer.contentType.empty())
      why += "no content type";
    else
      mail::AppendPrintable(why, answer.contentType, mail::kMaxQuotedInput);
    why += answer.body.empty() ? " and an empty body" : ", not JSON: " + fault;
    return AnswerKind::Broken;
  }
  if (json.String("error")) {
    ReadRefusal(json, refusal);
    if (!refusal.error.empty()) return RefusalKind(refusal);
  }
  if (answer.status < 200 || answer.status > 299) {
    why = "the " + std::string(endpoint) + " answered " + std::to_string(answer.status) +
          " without an OAuth error";
    return AnswerKind::Broken;
  }
  return AnswerKind::Tokens;
}

// The words of a description that can go into a detail: its first line
// (Microsoft follows it with trace and correlation ids), with any long
// run of token characters cut out. No provider is known to echo a code
// or a token in a description, but a run that long is what one would
// look like, and no word of a sentence is.
std::string DescriptionWords(std::string_view d) {
  for (const std::string_view end : {"\\x0D", "\\x0A"}) d = d.substr(0, d.find(end));
  constexpr size_t kLongRun = 24;
  const auto tokenChar = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '+' || c == '/' || c == '=';
  };
  std::string out;
  for (size_t i = 0; i < d.size();) {
    size_t j = i;
    while (j < d.size() && tokenChar(d[j])) ++j;
    if (j == i) {
      out.push_back(d[i++]);
      continue;
    }
    if (j - i >= kLongRun)
      out.append("[...]");
    else
      out.append(d.substr(i, j - i));
    i = j;
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  return out;
}

}  // namespace

std::string CodeVerifier(const unsigned char (&random)[32]) {
  return EncodeBase64Url(std::string_view(reinterpret_cast<const char*>(random), 32));
}

std::string CodeChallenge(std::string_view verifier) {
  unsigned char digest[32];
  platform::Sha256(verifier, digest);
  return EncodeBase64Url(std::string_view(reinterpret_cast<const char*>(digest), 32));
}

void CodeForm(const Client& client, std::string_view code, std::string_view verifier,
              std::string_view redirectUri, mail::Secret& form) {
  form.Clear();
  AppendFormField(form, "grant_type", "authorization_code");
  AppendFormField(form, "code", code);
  AppendFormField(form, "redirect_uri", redirectUri);
  AppendFormField(form, "client_id", client.id);
  AppendFormField(form, "code_verifier", verifier);
  if (!client.secret.empty()) AppendFormField(form, "client_secret", client.secret.view());
}

void RefreshForm(const Client& client, std::string_view refreshToken, std::string_view scope,
                 mail::Secret& form) {
  form.Clear();
  AppendFormField(form, "grant_type", "refresh_token");
  AppendFormField(form, "refresh_token", refreshToken);
  AppendFormField(form, "client_id", client.id);
  if (!scope.empty()) AppendFormField(form, "scope", scope);
  if (!client.secret.empty()) AppendFormField(form, "client_secret", client.secret.view());
}

void DeviceStartForm(const Client& client, std::string_view scope, mail::Secret& form) {
  form.Clear();
  AppendFormField(form, "client_id", client.id);
  AppendFormField(form, "scope", scope);
}

void DevicePollForm(const Client& client, std::string_view deviceCode, mail::Secret& form) {
  form.Clear();
  AppendFormField(form, "grant_type", "urn:ietf:params:oauth:grant-type:device_code");
  AppendFormField(form, "device_code", deviceCode);
  AppendFormField(form, "client_id", client.id);
  if (!client.secret.empty()) AppendFormField(form, "client_secret", client.secret.view());
}

std::string HintFor(const Refusal& refusal) {
  switch (refusal.aadsts) {
    case 65001:
      return "the application needs consent for this account: sign in again and accept, or "
             "have an administrator grant consent for the organization";
    case 90094:
      return "an administrator of the organization has to approve the application (admin "
             "consent)";
    case 50011:
      return "the redirect URI is not registered: register http://localhost as a \"Mobile and "
             "desktop applications\" redirect URI of the application";
    case 700016:
      return "the application was not found in the directory: check the client id, and the "
             "tenant in microsoft:TENANT";
    case 7000218:
      return "the application is not a public client: turn on \"Allow public client flows\" in "
             "its Authentication settings";
    case 700025:
      return "the application is a public client and takes no secret: leave the client secret "
             "empty";
    case 50194:
      return "the application is single-tenant: sign in with microsoft:TENANT (its tenant id or "
             "domain), not microsoft";
    default:
      break;
  }
  if (refusal.error == "access_denied") return "the user declined the sign-in or the consent";
  if (refusal.error == "invalid_grant")
    return "the grant is no longer valid (expired, revoked, or the password changed): sign in "
           "again";
  return {};
}

std::string RefusalDetail(std::string_view step, const Refusal& refusal) {
  std::string out(step);
  out += ": the provider refused: ";
  out += refusal.error.empty() ? "an unnamed error" : refusal.error;
  if (refusal.aadsts > 0) out += " (AADSTS" + std::to_string(refusal.aadsts) + ")";
  const std::string hint = HintFor(refusal);
  if (!hint.empty()) {
    out += ": " + hint;
  } else {
    const std::string words = DescriptionWords(refusal.description);
    if (!words.empty()) out += ": \"" + words + "\"";
  }
  return out;
}

AnswerKind ReadTokenAnswer(const HttpAnswer& answer, Tokens& tokens, Refusal& refusal,
                           std::string& why) {
  constexpr std::string_view kEndpoint = "token endpoint";
  JsonObject json;
  const AnswerKind kind = ReadJson(kEndpoint, answer, json, refusal, why);
  if (kind != AnswerKind::Tokens) return kind;
  if (!TakeSecret(json, "access_token", tokens.accessToken)) {
    why =
        "the token endpoint answered " + std::to_string(answer.status) + " without an access token";
    return AnswerKind::Broken;
  }
  // RFC 6749 5.1: the type is named, in any case; XOAUTH2 sends bearer
  // tokens only.
  const std::optional<std::string> type = json.String("token_type");
  if (type && !mail::EqualNoCase(*type, "Bearer")) {
    tokens.accessToken.Clear();
    why = "the token endpoint gave a token of type \"" + Printable(*type, 40) + "\", not Bearer";
    return AnswerKind::Broken;
  }
  TakeSecret(json, "refresh_token", tokens.refreshToken);
  TakeSecret(json, "id_token", tokens.idToken);
  // Bounded, so that adding it to the time cannot overflow: no access
  // token lives for a year.
  constexpr int64_t kMaxLifetime = 366 * 24 * 3600;
  const int64_t expires = json.Integer("expires_in").value_or(0);
  tokens.expiresIn = expires > 0 ? std::min(expires, kMaxLifetime) : 0;
  return AnswerKind::Tokens;
}

AnswerKind ReadDeviceAnswer(const HttpAnswer& answer, DevicePrompt& prompt, Refusal& refusal,
                            std::string& why) {
  constexpr std::string_view kEndpoint = "device authorization endpoint";
  JsonObject json;
  const AnswerKind kind = ReadJson(kEndpoint, answer, json, refusal, why);
  if (kind != AnswerKind::Tokens) return kind;
  const std::string user = json.String("user_code").value_or("");
  // RFC 8628 3.2 names it verification_uri; Google once wrote
  // verification_url.
  std::string uri = json.String("verification_uri").value_or("");
  if (uri.empty()) uri = json.String("verification_url").value_or("");
  const auto shown = [](const std::string& s) {
    return !s.empty() && s.size() <= 512 && Printable(s, 512) == s;
  };
  if (!TakeSecret(json, "device_code", prompt.deviceCode) || !shown(user) ||
      !mail::EqualNoCase(uri.substr(0, 8), "https://") || !shown(uri)) {
    prompt.deviceCode.Clear();
    why = "the device authorization endpoint answered " + std::to_string(answer.status) +
          " without a device code, a user code and an https verification URI";
    return AnswerKind::Broken;
  }
  prompt.userCode = user;
  prompt.verificationUri = uri;
  const int64_t interval = json.Integer("interval").value_or(0);
  prompt.interval = interval > 0 && interval <= 600 ? interval : 5;
  const int64_t expires = json.Integer("expires_in").value_or(0);
  prompt.expiresIn = expires > 0 ? expires : 900;
  return AnswerKind::Tokens;
}

std::string AccountOfIdToken(std::string_view idToken) {
  // A JWS in compact form (RFC 7515 7.1): header.payload.signature.
  const size_t first = idToken.find('.');
  if (first == std::string_view::npos) return {};
  const size_t second = idToken.find('.', first + 1);
  if (second == std::string_view::npos) return {};
  std::string payload;
  if (!DecodeBase64Url(idToken.substr(first + 1, second - first - 1), payload)) return {};
  JsonObject claims;
  const bool read = ParseJsonObject(payload, claims);
  platform::Wipe(payload.data(), payload.capacity());
  if (!read) return {};
  for (const std::string_view claim : {"email", "preferred_username"}) {
    const std::optional<std::string> value = claims.String(claim);
    if (!value || value->empty() || value->size() > 254) continue;
    bool plain = true;
    for (const char c : *value)
      if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) plain = false;
    if (plain) return *value;
  }
  return {};
}

}  // namespace vtl::signin
