#include "mail/login.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "mail/detail.h"
#include "vtl.h"

namespace vtl::mail {
namespace {

// How the client names itself in EHLO: by the host's name when that is a
// domain, else by the address literal of its end of the connection.
std::string EhloCommand(const std::string& hostName, Connection& connection) {
  std::string name = hostName;
  if (name.find('.') == std::string::npos || name.front() == '.' || name.back() == '.') {
    name = connection.LocalAddressLiteral();
    if (name.empty()) name = hostName.empty() ? "localhost" : hostName;
  }
  return Command("EHLO ", name, "");
}

const char* MechanismName(Mechanism m) {
  switch (m) {
    case Mechanism::Plain:
      return "PLAIN";
    case Mechanism::Login:
      return "LOGIN";
    case Mechanism::XOAuth2:
      return "XOAUTH2";
    case Mechanism::Any:
      break;
  }
  return "any";
}

// The login, over TLS, with the mechanisms the server offered there. A
// refusal ends it: trying another mechanism would only show the server
// the same secret again. While it is under way a detail or a trace shows
// only the codes of a reply, which no echo of the secret can reach.
// A kept XOAUTH2 token that was not just had may have been revoked or cut
// short by the provider: refused, it is refreshed once and tried once more.
int LogIn(Dialogue& d, ServerAddress& server, const Extensions& offered, const SendEnv& env,
          std::string& why) {
  const Millis timeout = env.timeouts.other;
  const Mechanism mechanism =
      offered.auth ? ChooseMechanism(server.mechanism, offered) : Mechanism::Any;
  if (mechanism == Mechanism::Any) {
    std::string mechanisms;
    AppendPrintable(mechanisms, offered.mechanisms, 200);
    if (!offered.auth)
      why = "the server offers no login over TLS (no AUTH in its EHLO reply)";
    else if (server.mechanism != Mechanism::Any)
      why = std::string("the server does not offer AUTH ") + MechanismName(server.mechanism) +
            ", which the URL asks for; it offers AUTH " + mechanisms;
    else
      why = "no login mechanism in common: the server offers AUTH " + mechanisms +
            "; vtl logs in with PLAIN or LOGIN, or XOAUTH2 where the URL asks for it";
    d.QuitQuietly();
    return VTL_SEND_AUTH_FAILED;
  }
  const std::string step = std::string("AUTH ") + MechanismName(mechanism);
  const std::string shown = step + (mechanism == Mechanism::Login ? "" : " <hidden>");
  std::string challenge;
  auto attempt = [&]() {
    challenge.clear();
    Secret command;
    AuthCommand(mechanism, server, command);
    int code = d.Exchange(command.view(), timeout, shown);
    if (mechanism == Mechanism::Login) {
      // Two challenges, the user's name and then the password; their text
      // is not read.
      for (const Secret* answer : {&server.user, &server.password}) {
        if (code != 334) break;
        Secret line;
        AppendBase64(answer->view(), line);
        code = d.Exchange(line.Append("\r\n").view(), timeout, "<hidden>");
      }
    } else if (mechanism == Mechanism::XOAuth2 && code == 334) {
      // The token was not taken: the challenge (base64 of a JSON text) says
      // why, and an empty line ends the exchange (with 535).
      std::string_view reply = d.LastReply();
      reply.remove_prefix(std::min<size_t>(4, reply.size()));
      while (!reply.empty() && (reply.back() == '\r' || reply.back() == '\n'))
        reply.remove_suffix(1);
      challenge = XOAuth2ChallengeFields(reply, server.password.view());
      code = d.Exchange("\r\n", timeout);
    }
    return code;
  };
  d.LoginUnderWay(true);
  int code = attempt();
  if (code == 535 && mechanism == Mechanism::XOAuth2 && server.keptToken && !server.tokenFresh &&
      env.keptToken) {
    std::string refreshWhy;
    server.password.Clear();
    if (const int r = env.keptToken(server.user.view(), true, server.password, server.tokenFresh,
                                    refreshWhy)) {
      why = step + ": " + d.Said(code) + "; the kept sign-in could not be refreshed: " + refreshWhy;
      d.QuitQuietly();
      d.LoginUnderWay(false);
      return r;
    }
    server.tokenFresh = true;
    code = attempt();
  }
  if (code / 100 == 2) {
    d.LoginUnderWay(false);
    return VTL_SEND_OK;
  }
  why = step + ": " + d.Said(code);
  if (!challenge.empty()) why += "; the server's challenge said " + challenge;
  if (code >= 0) {
    // A challenge nothing answers: "*" cancels the exchange (RFC 4954 4).
    if (code == 334) d.Exchange("*\r\n", timeout);
    d.QuitQuietly();
  }
  d.LoginUnderWay(false);
  return code < 0 ? VTL_SEND_DIALOGUE_FAILED : VTL_SEND_AUTH_FAILED;
}

}  // namespace

TlsPeer PeerFor(std::string_view host, bool hostIsAddress, uint16_t port, Millis timeout,
                const std::string& caFile, const std::string& trustOption) {
  // RFC 6066 3: a name sent as SNI has no trailing dot, and certificates
  // name hosts without one; the resolver was given it as written.
  if (!hostIsAddress && host.ends_with('.')) host.remove_suffix(1);
  TlsPeer peer;
  peer.host = host;
  peer.hostIsAddress = hostIsAddress;
  peer.caFile = caFile;
  peer.timeout = timeout;
  peer.port = port;
  peer.trustOption = trustOption;
  return peer;
}

int StartTlsWith(const TlsStart& tls, std::unique_ptr<Connection>& connection, const TlsPeer& peer,
                 std::string& session, std::string& why) {
  TlsOutcome secured =
      tls ? tls(std::move(connection), peer) : platform::StartTls(std::move(connection), peer);
  if (secured.result == 0 && !secured.connection) secured.result = VTL_SEND_TLS_FAILED;
  if (secured.result != 0) {
    why = "TLS: " + (secured.detail.empty() ? std::string("the handshake failed") : secured.detail);
    return secured.result;
  }
  session = std::move(secured.detail);
  connection = std::move(secured.connection);
  return 0;
}

int Secure(Dialogue& d, std::unique_ptr<Connection>& connection, ServerAddress& server,
           uint16_t port, const SendEnv& env, Extensions& offered, std::string& why) {
  const Timeouts& t = env.timeouts;
  const TlsPeer peer =
      PeerFor(server.host, server.hostIsAddress, port, t.handshake, env.caFile, env.trustOption);
  auto startTls = [&]() {
    std::string session;
    if (const int r = StartTlsWith(env.tls, connection, peer, session, why)) return r;
    if (env.trace && !session.empty()) env.trace(TraceKind::Info, session);
    d.Restart(*connection);
    return 0;
  };
  const std::string ehlo = EhloCommand(env.hostName, *connection);
  // EHLO only: a client that fell back to HELO could not ask for TLS.
  auto hello = [&]() {
    const int code = d.Exchange(ehlo, t.other);
    if (code / 100 == 2) return 0;
    why = "EHLO: " + d.Said(code);
    if (code > 0) d.QuitQuietly();
    return code < 0 ? VTL_SEND_DIALOGUE_FAILED : VTL_SEND_TLS_FAILED;
  };

  if (server.security == Security::Implicit)
    if (const int r = startTls()) return r;
  if (const int code = d.ReadReply(t.urlGreeting); code / 100 != 2) {
    why = "greeting: " + d.Said(code);
    // A server that waits in silence may be waiting for a TLS handshake.
    if (code < 0 && server.security == Security::StartTls)
      why += " (a port that takes TLS from the start, such as 465, takes smtps://)";
    // One that never spoke SMTP is not held to it: a QUIT would only hold
    // the host for its reply a while longer.
    if (code >= 0) d.QuitQuietly();
    return VTL_SEND_DIALOGUE_FAILED;
  }
  if (const int r = hello()) return r;
  if (server.security == Security::StartTls) {
    if (!ParseEhlo(d.LastReply()).startTls) {
      why =
          "the server does not offer STARTTLS, so nothing more was sent (a port that takes TLS "
          "from the start, such as 465, takes smtps://)";
      d.QuitQuietly();
      return VTL_SEND_TLS_FAILED;
    }
    const int code = d.Exchange("STARTTLS\r\n", t.other);
    if (code != 220) {
      why = "STARTTLS: " + d.Said(code);
      if (code > 0) d.QuitQuietly();
      return VTL_SEND_TLS_FAILED;
    }
    // Bytes before the handshake were not sent by the server we are about
    // to check; they may be replies meant to be read as if sent over TLS.
    if (d.SentAhead()) {
      why =
          "the server sent more after its go-ahead for STARTTLS; nothing read in clear may "
          "count over TLS, so nothing more was sent";
      return VTL_SEND_TLS_FAILED;
    }
    if (const int r = startTls()) return r;
    if (const int r = hello()) return r;
  }
  offered = ParseEhlo(d.LastReply());
  if (!server.login) return VTL_SEND_OK;
  const int result = LogIn(d, server, offered, env, why);
  server.user.Clear();
  server.password.Clear();
  // The go-ahead ends the answer to the login: bytes already after it
  // answer nothing sent, and would be read as MAIL's reply, quoted whole,
  // where they may echo the credentials.
  if (result == VTL_SEND_OK && d.SentAhead()) {
    why =
        "the server sent more after it took the login; the dialogue is broken, so nothing more "
        "was sent";
    return VTL_SEND_DIALOGUE_FAILED;
  }
  return result;
}

}  // namespace vtl::mail
