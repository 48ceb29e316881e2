#include "mail/server_url.h"

#include <cstddef>

namespace vtl::mail {
namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Position of `needle` in `text` regardless of case, or npos.
size_t FindNoCase(std::string_view text, std::string_view needle) {
  for (size_t i = 0; i + needle.size() <= text.size(); ++i)
    if (EqualNoCase(text.substr(i, needle.size()), needle)) return i;
  return std::string_view::npos;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Percent-decodes `text` onto `out`. CR, LF and NUL would end or cut a
// command line, so they are refused however they were written.
bool Decode(std::string_view text, Secret& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
      const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
      if (low < 0) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\r' || c == '\n' || c == '\0') return false;
    out.Append(c);
  }
  return true;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Whether a resolver would read `s` as an IPv4 address of its own making:
// one to four parts, each decimal, octal (a leading 0) or hexadecimal
// ("0x"), as inet_aton takes them. "127.0.0.010" is 127.0.0.8 there, and
// "0x7f.1" is 127.0.0.1.
bool ResolverReadsAsAddress(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  int parts = 0;
  for (;;) {
    const size_t dot = s.find('.');
    std::string_view part = s.substr(0, dot);
    if (part.size() >= 2 && part[0] == '0' && Lower(part[1]) == 'x') {
      part.remove_prefix(2);
      for (char c : part)
        if (HexValue(c) < 0) return false;
    } else if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    if (++parts > 4) return false;
    if (dot == std::string_view::npos) return true;
    s.remove_prefix(dot + 1);
  }
}

// An IPv6 address as the plain host form has always taken it, a link-local
// one with its zone ("fe80::1%eth0", RFC 4007 11) included.
bool IsIpv6WithZone(std::string_view s) {
  const size_t zone = s.find('%');
  if (zone == std::string_view::npos) return IsIpv6(s);
  const std::string_view name = s.substr(zone + 1);
  if (name.empty()) return false;
  for (char c : name)
    if (!(HexValue(c) >= 0 || (Lower(c) >= 'g' && Lower(c) <= 'z') || IsDigit(c) || c == '-' ||
          c == '_' || c == '.'))
      return false;
  return IsIpv6(s.substr(0, zone));
}

bool IsDnsName(std::string_view s) {
  if (s.empty() || s.size() > 253 || s.front() == '.' || s.front() == '-') return false;
  for (char c : s) {
    const char l = Lower(c);
    if (!((l >= 'a' && l <= 'z') || IsDigit(c) || c == '-' || c == '.' || c == '_')) return false;
  }
  return true;
}

constexpr const char* kBadPort = "the port is not a number from 1 to 65535";

// A port's number; 0 for one out of range, -1 for what is no number.
long PortValue(std::string_view port) {
  if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos) return -1;
  if (port.size() > 5) return 0;
  long value = 0;
  for (char c : port) value = value * 10 + (c - '0');
  return value <= 65535 ? value : 0;
}

// Each of these gives why the part is not well formed, or null.
bool ParseMechanism(std::string_view name, Mechanism& out) {
  if (EqualNoCase(name, "PLAIN")) {
    out = Mechanism::Plain;
  } else if (EqualNoCase(name, "LOGIN")) {
    out = Mechanism::Login;
  } else if (EqualNoCase(name, "XOAUTH2")) {
    out = Mechanism::XOAuth2;
  } else {
    return false;
  }
  return true;
}

// user[;AUTH=mech][:password[;AUTH=mech]]: the option may follow the user,
// as in RFC 5092's URLs, or the password.
const char* ParseUserInfo(std::string_view text, ServerAddress& out) {
  constexpr std::string_view kOption = ";AUTH=";
  const size_t colon = text.find(':');
  std::string_view user = text.substr(0, colon);
  std::string_view password = colon == std::string_view::npos ? "" : text.substr(colon + 1);
  for (std::string_view* part : {&user, &password}) {
    const size_t option = FindNoCase(*part, kOption);
    if (option == std::string_view::npos) continue;
    if (out.mechanism != Mechanism::Any) return "two ;AUTH= options";
    if (!ParseMechanism(part->substr(option + kOption.size()), out.mechanism))
      return "an unknown ;AUTH= mechanism (PLAIN, LOGIN or XOAUTH2)";
    *part = part->substr(0, option);
  }
  out.login = true;
  if (user.empty()) return "a password without a user";
  if (!Decode(user, out.user) || !Decode(password, out.password))
    return "the user or the password holds a '%' not followed by two hex digits (write '%' as "
           "%25, '@' as %40, ':' as %3A), or CR, LF or NUL";
  // A login without a password or token would only show the server the
  // user's name before it refuses; XOAUTH2 has the token a sign-in kept.
  out.keptToken = out.mechanism == Mechanism::XOAuth2 && colon == std::string_view::npos;
  if (out.password.empty() && !out.keptToken) return "a user without a password (or token)";
  // XOAUTH2 separates its fields with ^A: a control character in either
  // would let the URL add fields of its own.
  if (out.mechanism == Mechanism::XOAuth2)
    for (const Secret* part : {&out.user, &out.password})
      for (const char c : part->view())
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
          return "a control character in the user or the token of XOAUTH2";
  return nullptr;
}

// The plain form: a host name, an IPv4 or IPv6 address, or either with a
// port ("host:2525", "[::1]:2525"). Anything else may be a URL mistyped,
// with a login in it, so the reason quotes none of it.
const char* ParsePlain(std::string_view text, ServerAddress& out) {
  constexpr const char* kNotAHost = "the server is not a host name or an smtps:// or smtp:// URL";
  out.security = Security::None;
  const size_t colon = text.find(':');
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || !IsIpv6WithZone(text.substr(1, close - 1)))
      return kNotAHost;
    out.host = text.substr(1, close - 1);
    out.hostIsAddress = true;
    text.remove_prefix(close + 1);
    if (!text.empty() && (text[0] != ':' || text.size() == 1)) return kNotAHost;
    if (!text.empty()) text.remove_prefix(1);
  } else if (colon != std::string_view::npos && text.find(':', colon + 1) != text.npos) {
    // Two colons or more: an IPv6 address, which has no room for a port.
    if (!IsIpv6WithZone(text)) return kNotAHost;
    out.host = text;
    out.hostIsAddress = true;
    return nullptr;
  } else {
    out.host = text.substr(0, colon);
    if (!IsDnsName(out.host)) return kNotAHost;
    out.hostIsAddress = out.host.find_first_not_of("0123456789.") == std::string::npos;
    text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (colon != std::string_view::npos && text.empty()) return kNotAHost;
  }
  if (text.empty()) return nullptr;
  const long port = PortValue(text);
  if (port < 0) return kNotAHost;
  if (port == 0) return kBadPort;
  out.port = static_cast<uint16_t>(port);
  return nullptr;
}

const char* Parse(std::string_view text, ServerAddress& out) {
  const size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return ParsePlain(text, out);
  if (EqualNoCase(text.substr(0, scheme), "smtps")) {
    out.security = Security::Implicit;
  } else if (EqualNoCase(text.substr(0, scheme), "smtp")) {
    out.security = Security::StartTls;
  } else {
    return "an unknown scheme (smtps:// or smtp://)";
  }
  text.remove_prefix(scheme + 3);
  // The authority ends at the path; "/" alone is allowed, nothing more.
  // An "@" after it says the login itself holds the character that ended
  // it, unencoded.
  const size_t end = text.find_first_of("/?#");
  if (end != std::string_view::npos && text.find('@', end) != std::string_view::npos) {
    switch (text[end]) {
      case '/':
        return "the user or the password holds '/': write it as %2F";
      case '?':
        return "the user or the password holds '?': write it as %3F";
      default:
        return "the user or the password holds '#': write it as %23";
    }
  }
  if (end != std::string_view::npos && text.substr(end) != "/")
    return "a path, query or fragment after the host";
  std::string_view authority = text.substr(0, end);
  // A password may hold an "@" of its own; the host never does.
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    if (const char* why = ParseUserInfo(authority.substr(0, at), out)) return why;
    authority.remove_prefix(at + 1);
  }
  return ParseHostPort(authority, out.host, out.hostIsAddress, out.port);
}

}  // namespace

const char* ParseHostPort(std::string_view text, std::string& host, bool& hostIsAddress,
                          uint16_t& port) {
  std::string_view portText;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || !IsIpv6(text.substr(1, close - 1)))
      return "the host is not an IPv6 address in brackets";
    host = text.substr(1, close - 1);
    hostIsAddress = true;
    text.remove_prefix(close + 1);
    if (!text.empty() && text[0] != ':') return "something follows the host's brackets";
    if (!text.empty()) portText = text.substr(1);
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string_view::npos) portText = text.substr(colon + 1);
    host = text.substr(0, colon);
    if (host.empty()) return "no host";
    // Digits and dots alone are an address, and must be a whole one:
    // resolvers read "10.1" as an address too. So is anything else a
    // resolver would take for one; only the plain dotted quad is taken, so
    // that the address connected to is the one the certificate is checked
    // against.
    hostIsAddress =
        host.find_first_not_of("0123456789.") == std::string::npos || ResolverReadsAsAddress(host);
    if (hostIsAddress && !IsIpv4(host))
      return "the host is not an IPv4 address as four decimal numbers of 0 to 255 without "
             "leading zeros";
    if (!hostIsAddress && !IsDnsName(host))
      return "the host is no DNS name (letters, digits, '-' and '.')";
  }
  if (!portText.empty() && PortValue(portText) <= 0) return kBadPort;
  port = portText.empty() ? 0 : static_cast<uint16_t>(PortValue(portText));
  return nullptr;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsIpv4(std::string_view s) {
  int parts = 0;
  while (parts < 4) {
    size_t n = 0;
    unsigned value = 0;
    while (n < s.size() && n < 4 && IsDigit(s[n])) value = value * 10 + unsigned(s[n++] - '0');
    if (n == 0 || n > 3 || value > 255 || (n > 1 && s[0] == '0')) return false;
    s.remove_prefix(n);
    if (++parts < 4) {
      if (s.empty() || s[0] != '.') return false;
      s.remove_prefix(1);
    }
  }
  return s.empty();
}

bool IsIpv6(std::string_view s) {
  if (s.find(':') == std::string_view::npos) return false;
  for (char c : s)
    if (!(HexValue(c) >= 0 || c == ':' || c == '.')) return false;
  return true;
}

bool ParseServer(std::string_view text, ServerAddress& out, std::string* why) {
  const char* wrong = Parse(text, out);
  if (wrong != nullptr && why != nullptr)
    *why = out.security != Security::None                ? std::string("server: URL: ") + wrong
           : std::string_view(wrong).starts_with("the ") ? std::string(wrong)
                                                         : std::string("server: ") + wrong;
  return wrong == nullptr;
}

}  // namespace vtl::mail
