// The sign-in as the exported calls and the tool run it: the desktop's
// browser, the system's random source, a loopback listener, vtl's own TLS
// and the user's protected storage.
#pragma once

#include <memory>
#include <string>

#include "signin/flow.h"

namespace vtl::signin {

class SystemSignIn {
 public:
  // `caFile`: trust only this PEM file's roots for the provider, as
  // vtl-sendmail --ca-file does for mail; empty: the system's store.
  explicit SystemSignIn(std::string caFile = {}, std::string trustOption = {});
  const SignInEnv& Env() const { return env_; }

 private:
  std::unique_ptr<Http> http_;
  std::unique_ptr<GrantStore> store_;
  SignInEnv env_;
};

}  // namespace vtl::signin
