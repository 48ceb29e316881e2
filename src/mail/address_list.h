// Address lists as a caller writes them in "to", "cc", "bcc" and "from":
// "Taro Yamada <taro@example.jp>, hanako@example.jp". Pure text work over
// UTF-8 (the host's code page is converted first: a Shift_JIS second byte
// may be '\' or '@'), no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vtl::mail {

// RFC 5321 4.5.3.1.3: a path is at most 256 octets, angle brackets
// included. A longer address cannot be sent within the line limits, and no
// server would take it.
inline constexpr size_t kMaxAddressLength = 254;

struct Mailbox {
  // The display name as a reader should see it: UTF-8, outer quotes and
  // backslash escapes removed, white space runs kept as written but trimmed
  // at the ends; empty when none.
  std::string name;
  // The bare address (local@domain), as written, without angle brackets
  // or the white space around it.
  std::string address;
};

// An address list: mailboxes separated by commas. A semicolon outside
// quotes and angle brackets counts as a comma (users of a well-known desktop
// mail program type them); display names may be quoted and hold commas and
// semicolons there; empty entries ("a@x, , b@y", a trailing comma) are
// ignored. Each entry is `local@domain`, `<local@domain>`, `display name
// <local@domain>` or `"quoted, name" <local@domain>`. A comment after a bare
// address ("a@x (Taro)", RFC 5322 3.2.2) is taken as its name; parentheses
// in a display name are part of it ("Sales (Tokyo) <s@x>"). White space
// around entries may be ASCII or the ideographic space (U+3000) a Japanese
// input method types.
//
// The address is an RFC 5321 4.1.2 Mailbox of ASCII: a dot-atom or quoted
// local part, '@', a domain of letters, digits and hyphens or an address
// literal ("[192.0.2.1]"), at most kMaxAddressLength octets. A display name
// may hold any character but a control character (TAB excepted).
//
// Appends the mailboxes to `out`. False with `why` (one line of printable
// ASCII that names `argument`, "to" or "headers: line 2 (Reply-To)") when
// an entry is malformed (an unbalanced quote, bracket or parenthesis, two
// addresses in one entry, text after '>', a group "name: ...;"), an
// address is invalid, or the text holds a control character anywhere (a
// line break would start a header of the caller's); `out` is then as it
// was.
bool ParseAddressList(std::string_view text, std::string_view argument, std::vector<Mailbox>& out,
                      std::string& why);

// Exactly one mailbox (for "from", "Sender"), as ParseAddressList reads
// it: false with `why` for none or more than one.
bool ParseMailbox(std::string_view text, std::string_view argument, Mailbox& out, std::string& why);

// Whether two bare addresses are the same mailbox for the envelope: the local
// part exactly (RFC 5321 2.4 leaves its case to the receiving server), the
// domain without regard to ASCII case.
bool SameMailbox(std::string_view a, std::string_view b);

// Where `text` holds a control character other than TAB (C0 or DEL), or
// npos. CR or LF would end a header line and start one of the sender's.
size_t FindControl(std::string_view text);

}  // namespace vtl::mail
