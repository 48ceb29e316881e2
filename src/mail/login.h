// Securing the conversation of a URL form: TLS (at once or after
// STARTTLS), EHLO over it, and the login when the URL names a user.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "mail/auth.h"
#include "mail/dialogue.h"
#include "mail/reply.h"
#include "mail/server_url.h"
#include "mail/session.h"

namespace vtl::mail {

// Starts TLS as a client; platform::StartTls unless a test puts its own.
using TlsStart = std::function<TlsOutcome(std::unique_ptr<Connection>, const TlsPeer&)>;

// The server a certificate is checked against, named as `host` was named
// but without a trailing dot.
TlsPeer PeerFor(std::string_view host, bool hostIsAddress, uint16_t port, Millis timeout,
                const std::string& caFile, const std::string& trustOption);

// TLS over `connection` with `tls` (platform::StartTls when unset): 0 with
// the secured connection in its place and the session's version, cipher
// and certificate in `session`; else the result, with `why` as "TLS: ...".
int StartTlsWith(const TlsStart& tls, std::unique_ptr<Connection>& connection, const TlsPeer& peer,
                 std::string& session, std::string& why);

// For a URL: TLS, EHLO over it, and the login when a user was given. 0 when
// the mail may follow, with what the last EHLO reply offered in `offered`;
// else the result, with `why` in words. The credentials in `server` are
// wiped once used.
// A server that offers no STARTTLS, refuses it, or slips bytes in after its
// go-ahead gets nothing more: no login, no mail.
int Secure(Dialogue& d, std::unique_ptr<Connection>& connection, ServerAddress& server,
           uint16_t port, const SendEnv& env, Extensions& offered, std::string& why);

}  // namespace vtl::mail
