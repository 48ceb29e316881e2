// The caller's own header lines ("Reply-To: Taro <taro@example.jp>"), read
// and checked before they join the mail's header. Pure text work over
// UTF-8, no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vtl::mail {

// The most lines, and octets in a line, ParseHeaderLines takes. RFC 5322
// 2.1.1: a line of a mail is at most 998 octets.
inline constexpr size_t kMaxHeaderLines = 100;
inline constexpr size_t kMaxHeaderLine = 998;
inline constexpr size_t kMaxHeaderName = 76;

struct ExtraHeader {
  std::string name;   // as written ("Reply-To")
  std::string value;  // UTF-8, one line, white space at both ends trimmed
  // Reply-To, Sender, Disposition-Notification-To (in any case): the value
  // is an address list (Sender: one mailbox) that the formatter encodes as
  // display names are.
  bool addresses = false;
};

// Extra header lines, one per line (CR LF or LF; empty lines ignored), each
// "Name: value". Appends them to `out`. False with `why` (one line of
// printable ASCII naming the line's number and quoting a piece of it), and
// `out` as it was, for: a name that is not an RFC 5322 field name (printable
// ASCII without ':' or space, at least one character); no colon; a line
// that starts with white space (no folding: a header is one line); a value
// that holds a control character other than TAB (a CR alone is a line
// break here); an empty value; a header the library writes itself (From,
// To, Cc, Bcc, Subject, Date, Message-ID, MIME-Version, any Content-*) or
// that servers add (Return-Path, Received), compared without regard to
// case; a second Reply-To, Sender or Disposition-Notification-To; an
// address field whose value ParseAddressList or ParseMailbox refuses (with
// their why); more than kMaxHeaderLines lines or a line longer than
// kMaxHeaderLine octets.
bool ParseHeaderLines(std::string_view text, std::vector<ExtraHeader>& out, std::string& why);

}  // namespace vtl::mail
