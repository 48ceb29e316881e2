#include "mail/address_list.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "mail/detail.h"
#include "mail/server_url.h"

namespace vtl::mail {
namespace {

constexpr size_t npos = std::string_view::npos;

// U+3000 IDEOGRAPHIC SPACE: what the space bar gives while a Japanese input
// method is on, so it turns up between entries and around names.
constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";

constexpr const char* kOpenQuote = "has a '\"' that is never closed";
constexpr const char* kTwoAddresses = "holds two addresses; separate them with a comma";

// The length of the white space at text[i]: 0, 1 or 3.
size_t SpaceAt(std::string_view text, size_t i) {
  if (i < text.size() && (text[i] == ' ' || text[i] == '\t')) return 1;
  return text.substr(i).starts_with(kIdeographicSpace) ? kIdeographicSpace.size() : 0;
}

std::string_view Trim(std::string_view s) {
  while (const size_t n = SpaceAt(s, 0)) s.remove_prefix(n);
  for (;;) {
    if (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
      s.remove_suffix(1);
    else if (s.ends_with(kIdeographicSpace))
      s.remove_suffix(kIdeographicSpace.size());
    else
      return s;
  }
}

// Past the quoted string that starts at text[i] (a '"'), or npos when it is
// never closed. A backslash takes the next character as it is (RFC 5322
// 3.2.4).
size_t SkipQuoted(std::string_view text, size_t i) {
  for (++i; i < text.size(); ++i) {
    if (text[i] == '\\')
      ++i;
    else if (text[i] == '"')
      return i + 1;
  }
  return npos;
}

// Past the comment that starts at text[i] (a '('), or npos. Comments nest,
// and a quote inside one is an ordinary character (RFC 5322 3.2.2).
size_t SkipComment(std::string_view text, size_t i) {
  size_t depth = 0;
  for (; i < text.size(); ++i) {
    if (text[i] == '\\')
      ++i;
    else if (text[i] == '(')
      ++depth;
    else if (text[i] == ')' && --depth == 0)
      return i + 1;
  }
  return npos;
}

// Past the angle brackets that start at text[i] (a '<'), or npos with the
// fault. The address inside may have a quoted local part holding '>'.
size_t SkipAngle(std::string_view text, size_t i, const char*& fault) {
  for (size_t j = i + 1; j < text.size();) {
    if (text[j] == '>') return j + 1;
    if (text[j] == '<') {
      fault = "has a '<' inside angle brackets";
      return npos;
    }
    j = text[j] == '"' ? SkipQuoted(text, j) : j + 1;
    if (j == npos) {
      fault = kOpenQuote;
      return npos;
    }
  }
  fault = "has a '<' without its '>'";
  return npos;
}

// Cuts `text` into entries at each ',' and ';' outside quotes, comments and
// angle brackets. The fault of an unbalanced one, with `start` at the
// entry that holds it, or null.
const char* Split(std::string_view text, std::vector<std::string_view>& entries, size_t& start) {
  start = 0;
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const char* fault = nullptr;
    size_t next = i + 1;
    if (c == ',' || c == ';') {
      entries.push_back(text.substr(start, i - start));
      start = next;
    } else if (c == '"') {
      next = SkipQuoted(text, i);
      fault = kOpenQuote;
    } else if (c == '(') {
      next = SkipComment(text, i);
      fault = "has a '(' without its ')'";
    } else if (c == '<') {
      next = SkipAngle(text, i, fault);
    } else if (c == ')') {
      return "has a ')' without its '('";
    } else if (c == '>') {
      return "has a '>' without its '<'";
    }
    if (next == npos) return fault;
    i = next;
  }
  entries.push_back(text.substr(start));
  return nullptr;
}

// The first of `chars` in `entry` outside quotes and comments, or npos.
size_t FindOutside(std::string_view entry, std::string_view chars) {
  for (size_t i = 0; i < entry.size();) {
    if (chars.find(entry[i]) != npos) return i;
    i = entry[i] == '"' ? SkipQuoted(entry, i) : entry[i] == '(' ? SkipComment(entry, i) : i + 1;
  }
  return npos;
}

// Text with each backslash pair taken as the character it escapes.
void AppendUnescaped(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && ++i == text.size()) break;
    out.push_back(text[i]);
  }
}

// A display name as a reader sees it: its quoted strings without the quotes
// and backslashes, the rest as written (parentheses too: "Sales (Tokyo)").
std::string DisplayName(std::string_view part) {
  std::string name;
  for (size_t i = 0; i < part.size();) {
    if (part[i] == '"') {
      const size_t end = std::min(SkipQuoted(part, i), part.size());
      AppendUnescaped(name, part.substr(i + 1, end - i - 2));
      i = end;
    } else {
      // A comment's quotes are ordinary characters of it.
      const size_t end = part[i] == '(' ? std::min(SkipComment(part, i), part.size()) : i + 1;
      name.append(part.substr(i, end - i));
      i = end;
    }
  }
  return std::string(Trim(name));
}

// Where the local part of `address` ends: at the '@' after a quoted local
// part, else at the first '@' (a domain literal may hold one); npos
// without one.
size_t LocalPartEnd(std::string_view address) {
  if (!address.starts_with('"')) return address.find('@');
  const size_t end = SkipQuoted(address, 0);
  return end < address.size() && address[end] == '@' ? end : npos;
}

// Addresses are ASCII until international mail (RFC 6531, SMTPUTF8) is
// taken; this is the one place that refuses the rest. A display name may
// hold any character: it is encoded in the header.
const char* InternationalFault(std::string_view address) {
  for (const char c : address)
    if (static_cast<uint8_t>(c) >= 0x80)
      return "holds characters outside ASCII; international addresses are not supported yet";
  return nullptr;
}

bool IsLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// RFC 5322 3.2.3.
bool IsAtext(char c) {
  return IsLetterOrDigit(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != npos;
}

std::string LocalPartFault(std::string_view local) {
  if (local.starts_with('"')) {
    // RFC 5321 4.1.2: qtextSMTP and quoted-pairSMTP are printable ASCII and
    // the space; of the rest only TAB gets this far.
    if (local.size() == 2) return "has nothing inside the quotes before '@'";
    if (local.find('\t') != npos) return "holds a TAB inside its quotes";
    return {};
  }
  if (local.front() == '.' || local.back() == '.' || local.find("..") != npos)
    return "has a dot at the start or end of the part before '@', or two dots in a row";
  for (const char c : local)
    if (c != '.' && !IsAtext(c))
      return std::string("holds '") + c +
             "', which the part before '@' may hold only inside double quotes";
  return {};
}

// RFC 5321 4.1.3: "[192.0.2.1]", "[IPv6:2001:db8::1]", or a tag of its own
// and ':' before printable ASCII.
bool IsAddressLiteral(std::string_view inner) {
  if (IsIpv4(inner)) return true;
  const size_t colon = inner.find(':');
  if (colon == npos || colon == 0 || colon + 1 == inner.size()) return false;
  const std::string_view tag = inner.substr(0, colon), content = inner.substr(colon + 1);
  if (EqualNoCase(tag, "IPv6")) return IsIpv6(content);
  if (tag.back() == '-') return false;
  for (const char c : tag)
    if (!IsLetterOrDigit(c) && c != '-') return false;
  for (const char c : content)
    if (c < 33 || c > 126 || c == '[' || c == '\\' || c == ']') return false;
  return true;
}

std::string DomainFault(std::string_view domain) {
  if (domain.starts_with('['))
    return domain.ends_with(']') && IsAddressLiteral(domain.substr(1, domain.size() - 2))
               ? std::string()
               : "has a domain in square brackets that is not an address literal, such as "
                 "[192.0.2.1] or [IPv6:2001:db8::1]";
  for (size_t start = 0; start <= domain.size();) {
    const std::string_view label = domain.substr(start, domain.find('.', start) - start);
    if (label.empty())
      return "has an empty part in its domain (a dot at either end, or two in a row)";
    for (const char c : label)
      if (!IsLetterOrDigit(c) && c != '-')
        return std::string("has '") + c +
               "' in its domain, which holds only letters, digits, hyphens and dots";
    if (label.front() == '-' || label.back() == '-')
      return "has a part of its domain that begins or ends with '-'";
    if (label.size() > 63) return "has a part of its domain longer than 63 characters";
    start += label.size() + 1;
  }
  return {};
}

// Why `address` is no RFC 5321 Mailbox we can send to, or empty.
std::string AddressFault(std::string_view address) {
  if (address.empty()) return "is empty";
  if (const char* fault = InternationalFault(address)) return fault;
  if (address.size() > kMaxAddressLength)
    return "is longer than " + std::to_string(kMaxAddressLength) + " octets (" +
           std::to_string(address.size()) + ")";
  const size_t at = LocalPartEnd(address);
  if (at == npos) {
    if (address.starts_with('"') && SkipQuoted(address, 0) == npos) return kOpenQuote;
    if (address.starts_with('"') && address.find('@', SkipQuoted(address, 0)) != npos)
      return "has text between the closing '\"' and '@'";
    return "has no '@' (an address is name@domain, such as hanako@example.jp)";
  }
  const std::string_view local = address.substr(0, at), domain = address.substr(at + 1);
  if (local.empty()) return "has nothing before '@'";
  if (domain.empty()) return "has nothing after '@'";
  if (!local.starts_with('"') && local.find_first_of(" \t") != npos) return "holds white space";
  if (domain.find_first_of(" \t") != npos) return "holds white space";
  if (domain.find('@') != npos && !domain.starts_with('[')) return "holds more than one '@'";
  std::string fault = LocalPartFault(local);
  return fault.empty() ? DomainFault(domain) : fault;
}

// Reads one entry of a list (trimmed, not empty, balanced as Split found
// it) into `box`.
bool ReadEntry(std::string_view entry, std::string_view argument, Mailbox& box, std::string& why) {
  // RFC 5322 3.4: "Team: a@x, b@y;" names a group. Its addresses would be
  // taken apart from its name at the commas, so it is refused whole.
  const size_t special = FindOutside(entry, ":<@");
  if (special != npos && entry[special] == ':') {
    why = InputFault(argument, "the entry", entry,
                     "is a group (\"name: address, ...;\"), which is not taken: list the addresses "
                     "alone, and put a display name that holds ':' in double quotes");
    return false;
  }
  std::string_view address;
  const size_t open = FindOutside(entry, "<");
  if (open != npos) {
    const char* fault = nullptr;
    const size_t close = std::min(SkipAngle(entry, open, fault), entry.size());
    const std::string_view after = Trim(entry.substr(close));
    if (!after.empty()) {
      why = InputFault(argument, "the entry", entry,
                       after.find_first_of("<@") != npos ? kTwoAddresses : "has text after '>'");
      return false;
    }
    box.name = DisplayName(entry.substr(0, open));
    address = Trim(entry.substr(open + 1, close - open - 2));
  } else {
    size_t end = 0;
    while (end < entry.size() && SpaceAt(entry, end) == 0 && entry[end] != '(')
      end = entry[end] == '"' ? std::min(SkipQuoted(entry, end), entry.size()) : end + 1;
    address = entry.substr(0, end);
    std::string_view rest = Trim(entry.substr(end));
    // "a@x (Taro)": the comment was the name before display names were.
    if (rest.starts_with('(')) {
      const size_t close = std::min(SkipComment(rest, 0), rest.size());
      std::string name;
      AppendUnescaped(name, rest.substr(1, close - 2));
      box.name = Trim(name);
      rest = Trim(rest.substr(close));
    }
    if (!rest.empty()) {
      why =
          InputFault(argument, "the entry", entry,
                     address.find('@') != npos && rest.find('@') != npos
                         ? kTwoAddresses
                         : "holds more than an address: write a display name before the address in "
                           "angle brackets, as Taro Yamada <taro@example.jp>");
      return false;
    }
  }
  const std::string fault = AddressFault(address);
  if (!fault.empty()) {
    why = InputFault(argument, "the address", address, fault);
    return false;
  }
  box.address = address;
  return true;
}

}  // namespace

size_t FindControl(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<uint8_t>(text[i]);
    if ((b < 0x20 && b != '\t') || b == 0x7F) return i;
  }
  return npos;
}

bool ParseAddressList(std::string_view text, std::string_view argument, std::vector<Mailbox>& out,
                      std::string& why) {
  // Checked over the whole text first: a line break anywhere, quoted or
  // not, would end the header and start one of the sender's.
  if (const size_t at = FindControl(text); at != npos) {
    why = InputFault(argument, "", text.substr(at < 20 ? 0 : at - 20),
                     text[at] == '\r' || text[at] == '\n'
                         ? "holds a line break (CR or LF), which is not allowed here"
                         : "holds a control character, which is not allowed here");
    return false;
  }
  std::vector<std::string_view> entries;
  size_t start = 0;
  if (const char* fault = Split(text, entries, start)) {
    why = InputFault(argument, "the entry", Trim(text.substr(start)), fault);
    return false;
  }
  std::vector<Mailbox> found;
  found.reserve(entries.size());
  for (std::string_view entry : entries) {
    entry = Trim(entry);
    if (entry.empty()) continue;
    Mailbox box;
    if (!ReadEntry(entry, argument, box, why)) return false;
    found.push_back(std::move(box));
  }
  out.insert(out.end(), std::make_move_iterator(found.begin()),
             std::make_move_iterator(found.end()));
  return true;
}

bool ParseMailbox(std::string_view text, std::string_view argument, Mailbox& out,
                  std::string& why) {
  std::vector<Mailbox> boxes;
  if (!ParseAddressList(text, argument, boxes, why)) return false;
  if (boxes.size() != 1) {
    why = boxes.empty()
              ? std::string(argument) + ": no address given"
              : InputFault(argument, "", Trim(text),
                           "holds " + std::to_string(boxes.size()) + " addresses; it takes one");
    return false;
  }
  out = std::move(boxes.front());
  return true;
}

bool SameMailbox(std::string_view a, std::string_view b) {
  const size_t atA = LocalPartEnd(a), atB = LocalPartEnd(b);
  if (atA == npos || atB == npos) return a == b;
  return a.substr(0, atA) == b.substr(0, atB) && EqualNoCase(a.substr(atA + 1), b.substr(atB + 1));
}

}  // namespace vtl::mail
