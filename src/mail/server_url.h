// The server argument: a host name as it always was, or a URL that asks for
// TLS and a login.
//   smtps://[user[:password][;AUTH=mech]@]host[:port]   TLS from the start, port 465
//   smtp://[user[:password][;AUTH=mech]@]host[:port]    STARTTLS required, port 587
// No I/O here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mail/secret.h"

namespace vtl::mail {

enum class Security {
  None,      // a plain host name: plain SMTP, HELO, no login
  Implicit,  // smtps://
  StartTls,  // smtp://
};

enum class Mechanism { Any, Plain, Login, XOAuth2 };

struct ServerAddress {
  Security security = Security::None;
  std::string host;            // an IPv6 address without its brackets
  bool hostIsAddress = false;  // an IPv4 or IPv6 address, not a DNS name
  uint16_t port = 0;           // 0: the default of the form (the plain form: the mail port)
  bool login = false;          // a user was given
  Secret user;
  Secret password;  // for XOAUTH2, the bearer token
  Mechanism mechanism = Mechanism::Any;
  // XOAUTH2 with a user and no token: the token is the one kept for the
  // user by a sign-in (SendEnv::keptToken), had before connecting.
  bool keptToken = false;
  bool tokenFresh = false;  // that token was just had from the provider
};

// Reads `text` into `out`; false for a URL that is not well formed: an
// unknown scheme, a path, query or fragment, a bad host or port (an IPv4
// address other than a plain dotted quad), bad percent-encoding, CR, LF or
// NUL after decoding, a user without a password (but for XOAUTH2, which
// then takes the token kept by a sign-in), a control character in
// XOAUTH2's user or token, an unknown mechanism.
// Anything without "://" must be a host name or address, with a port or
// without. With `why`, says which part is wrong (never quoting the user or
// the password), as a detail says it.
bool ParseServer(std::string_view text, ServerAddress& out, std::string* why = nullptr);

// A URL's authority without its user info: "host", "host:port" or
// "[IPv6]:port". The host is a DNS name, a dotted quad or an IPv6 address
// (without its brackets in `host`); anything a resolver would read as an
// IPv4 address of another form is refused. `port` is 0 when none is named.
// Null when well formed, else why not (never quoting the text).
const char* ParseHostPort(std::string_view text, std::string& host, bool& hostIsAddress,
                          uint16_t& port);

// ASCII letters compared regardless of case.
bool EqualNoCase(std::string_view a, std::string_view b);

// A dotted quad as inet_pton reads it: four parts of 0 to 255 in decimal,
// none with a leading zero.
bool IsIpv4(std::string_view s);

// The characters an IPv6 address is written with (IPv4-mapped forms
// included); the resolver judges the rest.
bool IsIpv6(std::string_view s);

// The port a URL form uses when it names none.
inline uint16_t DefaultPort(Security security) {
  return security == Security::Implicit ? 465 : 587;
}

}  // namespace vtl::mail
