#include "signin/providers.h"

#include <vector>

#include "mail/detail.h"
#include "mail/server_url.h"

namespace vtl::signin {
namespace {

constexpr std::string_view kWhere = "provider";

bool IsAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

void Fault(std::string* why, std::string text) {
  if (why) *why = std::move(text);
}

// A tenant as it stands in the endpoints' path: "organizations",
// "consumers", a directory id (a GUID) or a verified domain. Nothing that
// could leave the path segment: letters, digits, '-' and '.', starting
// and ending with a letter or digit, no longer than a domain name.
bool IsTenant(std::string_view t) {
  if (t.empty() || t.size() > 253 || !IsAlnum(t.front()) || !IsAlnum(t.back())) return false;
  for (const char c : t)
    if (!IsAlnum(c) && c != '-' && c != '.') return false;
  return t.find("..") == std::string_view::npos;
}

// The little of an https URL this needs: the scheme, a host, no user
// information, no fragment, and nothing a request line cannot carry. The
// HTTP client parses the URL in full when it is used.
bool IsHttpsUrl(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  if (url.size() <= kScheme.size() || !mail::EqualNoCase(url.substr(0, kScheme.size()), kScheme))
    return false;
  for (const char c : url)
    if (static_cast<uint8_t>(c) <= 0x20 || static_cast<uint8_t>(c) >= 0x7F || c == '#')
      return false;
  const std::string_view rest = url.substr(kScheme.size());
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?"));
  return !authority.empty() && authority.front() != ':' &&
         authority.find('@') == std::string_view::npos;
}

// RFC 6749 3.3: scope-token = 1*( %x21 / %x23-5B / %x5D-7E ).
bool IsScopeToken(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '\\') return false;
  return true;
}

void Microsoft(std::string_view tenant, Provider& out) {
  const std::string base =
      "https://login.microsoftonline.com/" + std::string(tenant) + "/oauth2/v2.0/";
  out.kind = ProviderKind::Microsoft;
  out.authorizeUrl = base + "authorize";
  out.tokenUrl = base + "token";
  out.deviceUrl = base + "devicecode";
  // offline_access for a refresh token; openid and email for an ID token
  // that names the account signed in.
  out.scope = "https://outlook.office.com/SMTP.Send offline_access openid email";
  out.redirectHost = "localhost";
}

void Google(Provider& out) {
  out.kind = ProviderKind::Google;
  out.authorizeUrl = "https://accounts.google.com/o/oauth2/v2/auth";
  out.tokenUrl = "https://oauth2.googleapis.com/token";
  // Google's device flow does not grant the mail scope.
  out.deviceUrl.clear();
  out.scope = "https://mail.google.com/ openid email";
  out.redirectHost = "127.0.0.1";
}

bool Custom(std::string_view text, Provider& out, std::string* why) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const size_t space = text.find(' ');
    if (space != 0) words.push_back(text.substr(0, space));
    if (space == std::string_view::npos) break;
    text.remove_prefix(space + 1);
  }
  if (words.size() < 3) {
    Fault(why, "provider: a provider of one's own is \"AUTHORIZE-URL TOKEN-URL SCOPE...\": " +
                   std::to_string(words.size()) + " parts given, at least 3 needed");
    return false;
  }
  const char* names[] = {"the authorization URL", "the token URL"};
  for (int i = 0; i < 2; ++i)
    if (!IsHttpsUrl(words[i])) {
      Fault(why, mail::InputFault(kWhere, names[i], words[i], "is not an https URL with a host"));
      return false;
    }
  std::string scope;
  for (size_t i = 2; i < words.size(); ++i) {
    if (!IsScopeToken(words[i])) {
      Fault(why, mail::InputFault(kWhere, "the scope", words[i],
                                  "holds a character a scope cannot (RFC 6749 3.3)"));
      return false;
    }
    if (!scope.empty()) scope.push_back(' ');
    scope.append(words[i]);
  }
  out.kind = ProviderKind::Custom;
  out.authorizeUrl = words[0];
  out.tokenUrl = words[1];
  out.deviceUrl.clear();
  out.scope = std::move(scope);
  out.redirectHost = "127.0.0.1";
  return true;
}

}  // namespace

bool ParseProvider(std::string_view text, Provider& out, std::string* why) {
  constexpr std::string_view kMicrosoft = "microsoft";
  if (mail::EqualNoCase(text, kMicrosoft)) {
    // Work or school accounts and personal ones alike.
    Microsoft("common", out);
    return true;
  }
  if (text.size() > kMicrosoft.size() && text[kMicrosoft.size()] == ':' &&
      mail::EqualNoCase(text.substr(0, kMicrosoft.size()), kMicrosoft)) {
    const std::string_view tenant = text.substr(kMicrosoft.size() + 1);
    if (!IsTenant(tenant)) {
      Fault(why, mail::InputFault(kWhere, "the tenant", tenant,
                                  "is not organizations, consumers, a tenant id or a domain"));
      return false;
    }
    Microsoft(tenant, out);
    return true;
  }
  if (mail::EqualNoCase(text, "google")) {
    Google(out);
    return true;
  }
  if (text.find(' ') != std::string_view::npos) return Custom(text, out, why);
  Fault(why, mail::InputFault(kWhere, "", text,
                              "is none of microsoft, microsoft:TENANT, google, or "
                              "\"AUTHORIZE-URL TOKEN-URL SCOPE...\""));
  return false;
}

}  // namespace vtl::signin
