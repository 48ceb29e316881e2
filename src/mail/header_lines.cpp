#include "mail/header_lines.h"

#include <algorithm>
#include <iterator>

#include "mail/address_list.h"
#include "mail/detail.h"
#include "mail/server_url.h"

namespace vtl::mail {
namespace {

constexpr size_t npos = std::string_view::npos;

std::string_view TrimSpace(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// RFC 5322 3.6.8: ftext is printable ASCII but ':'.
bool IsFieldName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(),
                                      [](char c) { return c >= 33 && c <= 126 && c != ':'; });
}

// Why the library will not take `name` from the caller, or null: it writes
// the header itself from its arguments or the message, and a second one
// would contradict it (two Subjects, two Content-Types), or servers add it
// on the way.
const char* ReservedFault(std::string_view name) {
  static constexpr struct {
    std::string_view name;
    const char* fault;
  } kReserved[] = {
      {"From", "is written by the library from the from argument"},
      {"To", "is written by the library from the to argument"},
      {"Cc", "is written by the library from the cc argument"},
      {"Bcc", "is the bcc argument's: its addresses get the mail, and no header shows them"},
      {"Subject", "is written by the library from the subject argument"},
      {"Date", "is written by the library itself"},
      {"Message-ID", "is written by the library itself"},
      {"MIME-Version", "is written by the library itself"},
      {"Return-Path", "is added by the receiving server, not by the sender"},
      {"Received", "is added by each server on the way, not by the sender"},
  };
  for (const auto& reserved : kReserved)
    if (EqualNoCase(name, reserved.name)) return reserved.fault;
  if (name.size() >= 8 && EqualNoCase(name.substr(0, 8), "Content-"))
    return "is written by the library itself: the Content- headers describe the body as it is "
           "sent";
  return nullptr;
}

// The address fields: their display names are encoded as those of To are.
// RFC 5322 3.6.2 and RFC 8098 2.1 allow each once, Sender with one mailbox.
constexpr std::string_view kAddressFields[] = {"Reply-To", "Sender", "Disposition-Notification-To"};

}  // namespace

bool ParseHeaderLines(std::string_view text, std::vector<ExtraHeader>& out, std::string& why) {
  std::vector<ExtraHeader> headers;
  size_t number = 0;
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == npos ? text.size() : lf + 1);
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (TrimSpace(line).empty()) continue;
    const std::string where = "headers: line " + std::to_string(number);
    if (headers.size() == kMaxHeaderLines) {
      why = InputFault(where, "", line,
                       "is one too many; " + std::to_string(kMaxHeaderLines) +
                           " header lines are the most taken");
      return false;
    }
    if (line.size() > kMaxHeaderLine) {
      why = InputFault(where, "", line,
                       "is longer than " + std::to_string(kMaxHeaderLine) + " octets (" +
                           std::to_string(line.size()) + "), the most a line of a mail may hold");
      return false;
    }
    if (const size_t at = FindControl(line); at != npos) {
      why = InputFault(where, "", line.substr(at < 20 ? 0 : at - 20),
                       line[at] == '\r' ? "holds a line break (a CR alone), which is not allowed"
                                        : "holds a control character, which is not allowed");
      return false;
    }
    if (line.front() == ' ' || line.front() == '\t') {
      why = InputFault(where, "", line,
                       "begins with white space; write each header on one line, as Name: value");
      return false;
    }
    const size_t colon = line.find(':');
    if (colon == npos) {
      why = InputFault(where, "", line, "has no ':'; a header is Name: value");
      return false;
    }
    ExtraHeader header;
    header.name = line.substr(0, colon);
    header.value = TrimSpace(line.substr(colon + 1));
    // A name must leave room on its line for the first word of an encoded
    // value, or the line could pass 998 octets.
    const char* fault = !IsFieldName(header.name)
                            ? "is not a header name (printable ASCII without spaces or ':')"
                        : header.name.size() > kMaxHeaderName ? "is longer than 76 octets"
                        : header.value.empty()                ? "has no value"
                                                              : ReservedFault(header.name);
    if (fault != nullptr) {
      why = InputFault(where, "", header.name, fault);
      return false;
    }
    for (const std::string_view field : kAddressFields)
      header.addresses = header.addresses || EqualNoCase(header.name, field);
    if (header.addresses) {
      for (const ExtraHeader& earlier : headers)
        if (EqualNoCase(earlier.name, header.name)) {
          why = InputFault(where, "", header.name,
                           "is there twice; a mail has at most one (put its addresses on one "
                           "line, separated by commas)");
          return false;
        }
      const std::string argument = where + " (" + header.name + ")";
      Mailbox box;
      std::vector<Mailbox> boxes;
      const bool parsed = EqualNoCase(header.name, "Sender")
                              ? ParseMailbox(header.value, argument, box, why)
                              : ParseAddressList(header.value, argument, boxes, why);
      if (!parsed) return false;
      if (boxes.empty() && box.address.empty()) {
        why = InputFault(argument, "", header.value, "holds no address");
        return false;
      }
    }
    headers.push_back(std::move(header));
  }
  out.insert(out.end(), std::make_move_iterator(headers.begin()),
             std::make_move_iterator(headers.end()));
  return true;
}

}  // namespace vtl::mail
