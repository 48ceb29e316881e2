// A grant as it is kept between runs: one per account, in the user's
// protected storage (platform.h), never in a detail or a trace.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "mail/secret.h"
#include "platform/platform.h"

namespace vtl::signin {

struct Grant {
  std::string account;   // the mailbox as the caller named it
  std::string provider;  // VTLSignIn's provider argument as given
  std::string tokenUrl;
  std::string scope;
  std::string clientId;
  mail::Secret clientSecret;
  mail::Secret refreshToken;
  mail::Secret accessToken;
  int64_t expiresAt = 0;  // the access token's end, in seconds since 1970 UTC
};

// The kept form: a first line "vtl-grant 1", then "name=value" lines with
// each value percent-encoded. Written into a Secret, as it holds tokens.
void WriteGrant(const Grant& grant, mail::Secret& out);
// false for anything else, or a grant without its account, token URL,
// client id or refresh token.
bool ReadGrant(std::string_view text, Grant& out);

// The name of an account's file in the store: the address in lower case,
// with every byte other than a letter, a digit, '.', '-', '_' or '@'
// written as %XX, and so are a '.' first or last and the first letter of a
// Windows device name (con, nul, com1...), so that it is one safe name on
// every file system.
std::string GrantName(std::string_view account);

using StoreStatus = vtl::StoreStatus;

class GrantStore {
 public:
  virtual ~GrantStore() = default;
  // `why` says what is wrong, in words, for every status but Ok and
  // Missing (the path, the owner, the mode).
  virtual StoreStatus Load(std::string_view account, Grant& grant, std::string& why) = 0;
  virtual StoreStatus Save(const Grant& grant, std::string& why) = 0;
  virtual StoreStatus Remove(std::string_view account, std::string& why) = 0;
};

// The user's own, in platform::ReadKept's storage.
std::unique_ptr<GrantStore> SystemGrantStore();

}  // namespace vtl::signin
