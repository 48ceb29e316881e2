// Signing in: the authorization code flow with PKCE through the desktop's
// browser and a loopback redirect (RFC 8252), the device flow (RFC 8628)
// for a machine without one, and the access token a send asks for. Each
// outside thing comes in through SignInEnv, so the whole flow runs in a
// test against a fake provider.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "mail/secret.h"
#include "platform/platform.h"
#include "signin/grant.h"
#include "signin/http.h"
#include "signin/token.h"

namespace vtl::signin {

struct SignInArgs {
  const char* provider = nullptr;
  const char* clientId = nullptr;
  const char* clientSecret = nullptr;  // null or empty: a public client
  const char* account = nullptr;
};

struct SignInEnv {
  // Opens a URL with the desktop's handler, as VTLInternet does; false
  // (with `detail`) when no browser could be started.
  std::function<bool(const std::string& url, std::string& detail)> openBrowser;
  // Seconds since 1970 UTC.
  std::function<int64_t()> now;
  std::function<bool(unsigned char*, size_t)> random;  // platform::RandomBytes
  std::function<ListenOutcome()> listen;               // platform::ListenOnLoopback
  Http* http = nullptr;
  GrantStore* store = nullptr;
  Millis userTimeout{300'000};  // for the user in the browser, or at the device prompt
  // The device flow's wait between polls (the tests' is instant).
  std::function<void(Millis)> sleep;
};

// The whole of VTLSignIn. Never throws. 0 signed in and kept; 5 a bad
// argument; 2, 4, 7, 8, 9 the provider could not be reached or was not
// trusted; 10 the provider refused, or the wrong account signed in; 11 no
// browser, or not done within the time. `detail` says why in one line
// (never a code, token or secret).
int SignIn(const SignInArgs& args, const SignInEnv& env, std::string* detail = nullptr) noexcept;

// The device flow, for vtl-sendmail --device: `show` is given the URL and
// the code to type there, then the provider is polled at its interval
// until the user is done. Results as SignIn's.
int SignInOnDevice(const SignInArgs& args, const SignInEnv& env,
                   const std::function<void(const DevicePrompt&)>& show,
                   std::string* detail = nullptr) noexcept;

// The whole of VTLSignOut: 0 (also when none was kept), 5 a bad argument,
// 10 when the kept grant could not be removed.
int SignOut(const char* account, const SignInEnv& env, std::string* detail = nullptr) noexcept;

// For a send that logs in with XOAUTH2 and no token in its URL: the access
// token kept for `account`, for the mail server `host` (a preset's token
// goes only to its provider's own servers: 5 for any other), refreshed first when less than 5
// minutes are left or when `refresh` asks for it, a rotated refresh token kept at once. 0 with the
// token in `token`, `fresh` telling whether it was just had from the provider; else 10 (none kept,
// sign in again, refused) or the result of reaching the provider, with `why`.
int KeptAccessToken(std::string_view account, std::string_view host, bool refresh,
                    const SignInEnv& env, mail::Secret& token, bool& fresh,
                    std::string& why) noexcept;

}  // namespace vtl::signin
