#include "mail/detail.h"

#include <cstdint>

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

std::string QuoteReply(std::string_view reply, std::span<const std::string_view> secrets) {
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
  // A server may echo what it was sent; nothing of a credential leaves.
  for (const std::string_view secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 8))
      text.replace(at, secret.size(), "<hidden>");
  }
  std::string out;
  AppendPrintable(out, text);
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
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;
    else
      return {};
    bits = bits << 6 | static_cast<uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8 & 0xFF));
      out.push_back(static_cast<char>(bits & 0xFF));
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    out.push_back(static_cast<char>(bits >> 10));
    out.push_back(static_cast<char>(bits >> 2 & 0xFF));
  } else if (count == 2) {
    out.push_back(static_cast<char>(bits >> 4));
  }
  return out;
}

}  // namespace vtl::mail
