// The server argument's parser and the login commands made from it, on any
// bytes: they never crash, nothing accepted holds CR, LF or NUL, and every
// command made is one line.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "mail/auth.h"
#include "mail/server_url.h"

namespace {

using vtl::fuzz::Check;

bool Clean(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vtl::mail::ServerAddress server;
  // What the EHLO parser makes of the same bytes does not matter; that it
  // reads them safely does.
  const vtl::mail::Extensions offered = vtl::mail::ParseEhlo(text);
  if (!vtl::mail::ParseServer(text, server) || server.security == vtl::mail::Security::None)
    return 0;
  Check(!server.host.empty() && Clean(server.host), "a host without line breaks");
  Check(Clean(server.user.view()) && Clean(server.password.view()), "clean credentials");
  Check(!server.login || !server.user.empty(), "a login has a user");
  const vtl::mail::Mechanism mechanism = vtl::mail::ChooseMechanism(server.mechanism, offered);
  vtl::mail::Secret command;
  vtl::mail::AuthCommand(mechanism, server, command);
  const std::string_view line = command.view();
  Check(line.size() >= 2 && line.find("\r\n") == line.size() - 2, "one command line");
  return 0;
}
