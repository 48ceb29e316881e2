#include "mail/auth.h"

#include <cstddef>
#include <cstdint>

#include "jtext/jtext.h"

namespace vtl::mail {
namespace {

// Splits off the next word of `line` (separated by spaces or "=").
std::string_view NextWord(std::string_view& line) {
  const size_t start = line.find_first_not_of(" =");
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const size_t end = line.find_first_of(" =");
  const std::string_view word = line.substr(0, end);
  line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  return word;
}

}  // namespace

Extensions ParseEhlo(std::string_view reply) {
  Extensions found;
  bool first = true;
  while (!reply.empty()) {
    const size_t lf = reply.find('\n');
    std::string_view line = reply.substr(0, lf);
    reply.remove_prefix(lf == std::string_view::npos ? reply.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // The first line names the server; the code and its separator go.
    if (first || line.size() < 4) {
      first = false;
      continue;
    }
    line.remove_prefix(4);
    const std::string_view keyword = NextWord(line);
    if (EqualNoCase(keyword, "STARTTLS")) {
      found.startTls = true;
    } else if (EqualNoCase(keyword, "PIPELINING")) {
      found.pipelining = true;
    } else if (EqualNoCase(keyword, "SIZE")) {
      found.size = true;
      // A limit too large to hold is no limit we could reach.
      uint64_t limit = 0;
      for (char c : NextWord(line)) {
        if (c < '0' || c > '9' || limit > UINT64_MAX / 10 - 1) {
          limit = 0;
          break;
        }
        limit = limit * 10 + static_cast<uint64_t>(c - '0');
      }
      found.sizeLimit = limit;
    } else if (EqualNoCase(keyword, "AUTH")) {
      found.auth = true;
      for (std::string_view m = NextWord(line); !m.empty(); m = NextWord(line)) {
        if (found.mechanisms.find(m) == std::string::npos)
          found.mechanisms.append(found.mechanisms.empty() ? "" : " ").append(m);
        found.plain |= EqualNoCase(m, "PLAIN");
        found.login |= EqualNoCase(m, "LOGIN");
        found.xoauth2 |= EqualNoCase(m, "XOAUTH2");
      }
    }
  }
  return found;
}

Mechanism ChooseMechanism(Mechanism wanted, const Extensions& offered) {
  switch (wanted) {
    case Mechanism::Plain:
      return offered.plain ? wanted : Mechanism::Any;
    case Mechanism::Login:
      return offered.login ? wanted : Mechanism::Any;
    case Mechanism::XOAuth2:
      return offered.xoauth2 ? wanted : Mechanism::Any;
    case Mechanism::Any:
      break;
  }
  return offered.plain ? Mechanism::Plain : offered.login ? Mechanism::Login : Mechanism::Any;
}

void AppendBase64(std::string_view data, Secret& out) {
  jtext::Base64(data, [&](char c) { out.Append(c); });
}

void AuthCommand(Mechanism mechanism, const ServerAddress& server, Secret& out) {
  Secret message;
  switch (mechanism) {
    case Mechanism::Plain:
      // RFC 4616: no authorization identity, the user, the password.
      message.Append('\0').Append(server.user.view()).Append('\0').Append(server.password.view());
      out.Append("AUTH PLAIN ");
      break;
    case Mechanism::XOAuth2:
      message.Append("user=")
          .Append(server.user.view())
          .Append(
              "\x01"
              "auth=Bearer ");
      message.Append(server.password.view()).Append("\x01\x01");
      out.Append("AUTH XOAUTH2 ");
      break;
    case Mechanism::Login:
    case Mechanism::Any:
      out.Append("AUTH LOGIN\r\n");
      return;
  }
  AppendBase64(message.view(), out);
  out.Append("\r\n");
}

}  // namespace vtl::mail
