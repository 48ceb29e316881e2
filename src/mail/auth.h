// What the EHLO reply offers, and the SASL messages of a login (RFC 4954):
// PLAIN (RFC 4616), LOGIN and XOAUTH2. No I/O here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mail/secret.h"
#include "mail/server_url.h"

namespace vtl::mail {

struct Extensions {
  bool startTls = false;
  bool pipelining = false;  // RFC 2920
  bool auth = false;        // an AUTH keyword, whatever its mechanisms
  bool plain = false;
  bool login = false;
  bool xoauth2 = false;
  std::string mechanisms;  // every mechanism AUTH names, as the server wrote them
  bool size = false;       // RFC 1870: MAIL FROM may declare the message's size
  uint64_t sizeLimit = 0;  // the largest message the server takes; 0 when it names none
};

// The extensions named in an EHLO reply: its lines from the second on, each
// "250-KEYWORD params" or "250 KEYWORD params", in any case. The older
// "AUTH=mech ..." spelling counts as AUTH.
Extensions ParseEhlo(std::string_view reply);

// The mechanism to log in with: the one asked for if the server offers it,
// else PLAIN, then LOGIN; Any when there is none to use.
Mechanism ChooseMechanism(Mechanism wanted, const Extensions& offered);

// Base64 (RFC 4648) of `data`, appended to `out`.
void AppendBase64(std::string_view data, Secret& out);

// The command that starts a login, with CR LF: "AUTH PLAIN <response>",
// "AUTH LOGIN", or "AUTH XOAUTH2 <response>".
void AuthCommand(Mechanism mechanism, const ServerAddress& server, Secret& out);

}  // namespace vtl::mail
