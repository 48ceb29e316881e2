// The loopback redirect (RFC 8252 7.3): what the browser brings back to
// the listener, and what it is shown. No I/O here.
#pragma once

#include <string>
#include <string_view>

#include "mail/secret.h"

namespace vtl::signin {

struct Redirect {
  enum class Kind {
    NotOurs,  // another path, another state, a POST, a favicon, a stray: 404, and wait on
    Code,     // the authorization code
    Refused,  // the provider's error (RFC 6749 4.1.2.1): the user cancelled, ...
  };
  Kind kind = Kind::NotOurs;
  mail::Secret code;
  std::string error;        // printable, bounded
  std::string description;  // printable, bounded
};

// Reads a request's head (request line and header fields, as far as they
// came). Only "GET /?…state=STATE…" is ours: the redirect URI is
// "http://HOST:PORT", whose path is "/".
Redirect ReadRedirect(std::string_view head, std::string_view state);

// Whether `bytes` hold the end of a request's head (an empty line).
bool HeadComplete(std::string_view bytes);

// The whole answer to the browser: a short page in English and Japanese
// saying the window may be closed, or a 404.
std::string_view PageFor(Redirect::Kind kind);

}  // namespace vtl::signin
