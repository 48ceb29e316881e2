#include "mail/detail.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "jtext/jtext.h"
#include "mail/server_url.h"
#include "vtl.h"

namespace vtl::mail {

void AppendPrintable(std::string& out, std::string_view bytes, size_t limit) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const bool cut = bytes.size() > limit;
  if (cut) bytes = bytes.substr(0, limit);
  for (const char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    if (b >= 0x20 && b < 0x7F) {
      out.push_back(c);
    } else {
      out.append("\\x").push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  if (cut) out.append("...");
}

const char* ConnectFailure(int result) {
  switch (result) {
    case VTL_SEND_STARTUP_FAILED:
      return "the sockets layer could not be started";
    case VTL_SEND_RESOLVE_FAILED:
      return "the name did not resolve";
    case VTL_SEND_SOCKET_FAILED:
      return "no socket could be created";
    default:
      return "no address accepted the connection";
  }
}

std::string Endpoint(std::string_view host, uint16_t port) {
  const bool v6 = host.find(':') != std::string_view::npos;
  std::string where;
  AppendPrintable(where, v6 ? "[" + std::string(host) + "]" : std::string(host), 300);
  return where + ":" + std::to_string(port);
}

std::string InputFault(std::string_view where, std::string_view what, std::string_view piece,
                       std::string_view fault) {
  std::string why(where);
  why.append(": ");
  if (!what.empty()) why.append(what).push_back(' ');
  why.push_back('"');
  AppendPrintable(why, piece, kMaxQuotedInput);
  why.append("\" ").append(fault);
  return why;
}

std::string QuoteReply(std::string_view reply) {
  std::string text;
  text.reserve(reply.size());
  while (!reply.empty()) {
    const size_t lf = reply.find('\n');
    std::string_view line = reply.substr(0, lf);
    reply.remove_prefix(lf == std::string_view::npos ? reply.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!text.empty()) text.append(" / ");
    text.append(line);
  }
  std::string out;
  AppendPrintable(out, text);
  return out;
}

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Digits from the start of `text`, between `least` and `most` of them;
// their count, or 0.
size_t Digits(std::string_view text, size_t least, size_t most) {
  size_t n = 0;
  while (n < text.size() && n <= most && IsDigit(text[n])) ++n;
  return n >= least && n <= most ? n : 0;
}

bool HoldsNoCase(std::string_view text, std::string_view part) {
  if (part.empty()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i)
    if (EqualNoCase(text.substr(i, part.size()), part)) return true;
  return false;
}

}  // namespace

std::string LoginReplyHead(std::string_view reply, bool& cut) {
  std::string_view line = reply.substr(0, reply.find('\n'));
  if (line.ends_with('\r')) line.remove_suffix(1);
  std::string head;
  if (line.size() < 3 || Digits(line, 3, 3) != 3) {
    cut = !line.empty();
    return head;
  }
  head = line.substr(0, 3);
  // RFC 3463 2: class "." subject "." detail, after the code and its
  // separator.
  std::string_view rest = line.substr(std::min<size_t>(4, line.size()));
  size_t n = 0;
  if (rest.size() > 2 && (rest[0] == '2' || rest[0] == '4' || rest[0] == '5') && rest[1] == '.') {
    const size_t subject = Digits(rest.substr(2), 1, 3);
    const size_t detail = subject > 0 && rest.size() > 3 + subject && rest[2 + subject] == '.'
                              ? Digits(rest.substr(3 + subject), 1, 3)
                              : 0;
    n = detail > 0 ? 3 + subject + detail : 0;
    if (n > 0 && n < rest.size() && rest[n] != ' ') n = 0;
  }
  if (n > 0) head.append(" ").append(rest.substr(0, n));
  // Anything past the head, on this line or another, is left out.
  const size_t shown = n > 0 ? 4 + n : 3;
  cut = line.find_first_not_of(" ", shown) != std::string_view::npos ||
        reply.substr(std::min(reply.size(), line.size())).find_first_not_of("\r\n") !=
            std::string_view::npos;
  return head;
}

std::string_view RefusalKind(int code) {
  if (code >= 400 && code < 500) return "temporary: the server asks to try again later";
  if (code >= 500 && code < 600) return "permanent: sending it again unchanged will not help";
  return {};
}

namespace {

// The members of a flat JSON object whose values are strings without
// escapes or numbers, as an error challenge is written; false for any
// other text (nested values, escapes), which is then not read at all.
struct Member {
  std::string_view key, value;
  bool isString;
};
bool ReadFlatObject(std::string_view json, std::vector<Member>& members) {
  size_t at = 0;
  auto skip = [&] {
    while (at < json.size() &&
           (json[at] == ' ' || json[at] == '\t' || json[at] == '\r' || json[at] == '\n'))
      ++at;
  };
  auto quoted = [&](std::string_view& out) {
    if (at >= json.size() || json[at] != '"') return false;
    const size_t end = json.find_first_of("\"\\", at + 1);
    if (end == std::string_view::npos || json[end] != '"') return false;
    out = json.substr(at + 1, end - at - 1);
    at = end + 1;
    return true;
  };
  skip();
  if (at >= json.size() || json[at++] != '{') return false;
  for (skip(); at < json.size() && json[at] != '}';) {
    Member m{};
    if (!quoted(m.key)) return false;
    skip();
    if (at >= json.size() || json[at++] != ':') return false;
    skip();
    m.isString = at < json.size() && json[at] == '"';
    if (m.isString) {
      if (!quoted(m.value)) return false;
    } else {
      const size_t end = json.find_first_not_of("0123456789", at);
      m.value = json.substr(at, end == std::string_view::npos ? end : end - at);
      if (m.value.empty()) return false;
      at += m.value.size();
    }
    members.push_back(m);
    skip();
    if (at < json.size() && json[at] == ',') {
      ++at;
      skip();
    }
  }
  return at < json.size();
}

// Whether `value` holds eight characters in a row of `token`, in any case:
// a token cut or split over fields is still not shown.
bool HoldsPartOf(std::string_view value, std::string_view token) {
  constexpr size_t kRun = 8;
  if (token.size() < kRun) return HoldsNoCase(value, token);
  for (size_t i = 0; i + kRun <= token.size(); ++i)
    if (HoldsNoCase(value, token.substr(i, kRun))) return true;
  return false;
}

// The forms the three fields take: a status code, scheme names, https
// scope URLs.
bool FitsField(std::string_view key, std::string_view value) {
  auto all = [&](auto ok) {
    for (const char c : value)
      if (!ok(c)) return false;
    return true;
  };
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (key == "status") return Digits(value, 1, 3) == value.size();
  if (key == "schemes")
    return value.size() <= 32 && all([&](char c) { return letter(c) || c == ' '; });
  if (value.size() > 200 || !all([&](char c) {
        return letter(c) || IsDigit(c) ||
               std::string_view(" .-_/:").find(c) != std::string_view::npos;
      }))
    return false;
  for (size_t at = 0; at < value.size();) {
    size_t end = value.find(' ', at);
    if (end == std::string_view::npos) end = value.size();
    if (end > at && !value.substr(at, end - at).starts_with("https://")) return false;
    at = end + 1;
  }
  return true;
}

}  // namespace

std::string XOAuth2ChallengeFields(std::string_view base64, std::string_view token) {
  const std::string json = DecodeBase64(base64);
  std::vector<Member> members;
  if (!ReadFlatObject(json, members)) return {};
  std::string out;
  for (const std::string_view key : {"status", "schemes", "scope"}) {
    const auto m = std::find_if(members.begin(), members.end(),
                                [&](const Member& one) { return one.key == key; });
    if (m == members.end() || !FitsField(key, m->value) || HoldsPartOf(m->value, token)) continue;
    out.append(out.empty() ? "{" : ",").append("\"").append(key).append("\":");
    if (m->isString)
      out.append("\"").append(m->value).append("\"");
    else
      out.append(m->value);
  }
  if (!out.empty()) out.append("}");
  return out;
}

std::string_view HintFor(std::string_view reply) {
  struct Known {
    std::string_view code;  // the reply code, or empty for any
    std::string_view text;  // words the reply holds
    std::string_view hint;
  };
  static constexpr Known kKnown[] = {
      {"", "5.7.139",
       "the provider has SMTP AUTH turned off for this mailbox or tenant: turn it on, or log in "
       "with XOAUTH2"},
      {"535", "5.7.3",
       "the provider has SMTP AUTH turned off for this mailbox or tenant: turn it on, or log in "
       "with XOAUTH2"},
      {"534", "5.7.9", "the provider wants an app password here, not the account's password"},
      {"535", "5.7.8", "the user name or the password was not accepted"},
      {"530", "STARTTLS",
       "the server takes mail only over TLS: use smtp:// (STARTTLS) or smtps://"},
      {"530", "5.7.0",
       "the server requires a login: give user and password in an smtps:// or smtp:// URL"},
      {"530", "5.7.57",
       "the server requires a login: give user and password in an smtps:// or smtp:// URL"},
      {"530", "uthentication required",
       "the server requires a login: give user and password in an smtps:// or smtp:// URL"},
      {"", "SendAsDenied",
       "the sender address differs from the login: send from the login's address"},
      {"", "5.2.252", "the sender address differs from the login: send from the login's address"},
      {"", "Relay access denied",
       "the server relays only for its users: log in (a URL with a user and password)"},
  };
  for (const Known& k : kKnown)
    if ((k.code.empty() || reply.starts_with(k.code)) &&
        reply.find(k.text) != std::string_view::npos)
      return k.hint;
  return {};
}

std::string DecodeBase64(std::string_view text) {
  std::string out;
  int count = 0;
  uint32_t spare = 0;
  if (!jtext::Base64Decode(
          text, false, [&](char c) { out.push_back(c); }, count, spare))
    return {};
  return out;
}

}  // namespace vtl::mail
