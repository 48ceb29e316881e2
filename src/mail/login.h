// Securing the conversation of a URL form: TLS (at once or after
// STARTTLS), EHLO over it, and the login when the URL names a user.
#pragma once

#include <memory>
#include <string>

#include "mail/auth.h"
#include "mail/dialogue.h"
#include "mail/reply.h"
#include "mail/server_url.h"
#include "mail/session.h"

namespace vtl::mail {

// For a URL: TLS, EHLO over it, and the login when a user was given. 0 when
// the mail may follow, with what the last EHLO reply offered in `offered`;
// else the result, with `why` in words. The credentials in `server` are
// wiped once used.
// A server that offers no STARTTLS, refuses it, or slips bytes in after its
// go-ahead gets nothing more: no login, no mail.
int Secure(Dialogue& d, std::unique_ptr<Connection>& connection, ServerAddress& server,
           uint16_t port, const SendEnv& env, Extensions& offered, std::string& why);

}  // namespace vtl::mail
