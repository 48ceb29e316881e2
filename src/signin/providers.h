// Where a sign-in goes: the presets for Microsoft and Google, or the
// endpoints and scopes a caller names for any other OAuth 2 provider.
// No I/O here.
#pragma once

#include <string>
#include <string_view>

namespace vtl::signin {

enum class ProviderKind { Microsoft, Google, Custom };

struct Provider {
  ProviderKind kind = ProviderKind::Custom;
  std::string authorizeUrl;  // https
  std::string tokenUrl;      // https
  std::string deviceUrl;     // RFC 8628's device authorization endpoint; empty when none
  std::string scope;         // space-separated, as the authorization request sends it
  // The loopback redirect's host: "localhost" for Microsoft, whose
  // registered http://localhost matches any port; "127.0.0.1" for others.
  std::string redirectHost;
};

// Reads the provider argument of VTLSignIn:
//   microsoft | microsoft:organizations | microsoft:consumers |
//   microsoft:TENANT (an id or a domain) | google |
//   "AUTHORIZE-URL TOKEN-URL SCOPE..." (https URLs, spaces between)
// false when it is none of these, with `why` saying what is wrong.
bool ParseProvider(std::string_view text, Provider& out, std::string* why = nullptr);

// Whether a token of the provider may go to the mail server `host`. A
// preset's token goes only to servers in its provider's own domains
// (Microsoft: office365.com, outlook.com; Google: gmail.com, google.com,
// googlemail.com): whoever else received it could send as the user with
// it. A custom provider's, whose servers vtl cannot know, goes to any.
bool TakesTokens(const Provider& provider, std::string_view host);

}  // namespace vtl::signin
