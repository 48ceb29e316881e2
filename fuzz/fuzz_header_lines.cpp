// The caller's header lines on any bytes: they never crash, a why is one
// line of printable ASCII, a header taken has a field name and a value of
// one line that the library does not write itself, and written back one to
// a line the headers read the same again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "mail/address_list.h"
#include "mail/header_lines.h"
#include "mail/server_url.h"

using vtl::fuzz::Check;
using vtl::fuzz::IsPrintable;
using vtl::mail::ExtraHeader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<ExtraHeader> headers;
  std::string why;
  if (!vtl::mail::ParseHeaderLines(text, headers, why)) {
    Check(headers.empty(), "refused lines add nothing");
    Check(why.starts_with("headers: line ") && IsPrintable(why), "a why of printable ASCII");
    return 0;
  }
  Check(headers.size() <= vtl::mail::kMaxHeaderLines, "at most the most lines");
  std::string written;
  for (const ExtraHeader& h : headers) {
    Check(!h.name.empty() && IsPrintable(h.name) && h.name.find_first_of(": ") == std::string::npos,
          "a field name");
    Check(!h.value.empty() && vtl::mail::FindControl(h.value) == std::string::npos,
          "a value of one line");
    Check(h.value.front() != ' ' && h.value.front() != '\t' && h.value.back() != ' ' &&
              h.value.back() != '\t',
          "a value trimmed");
    Check(!(h.name.size() >= 8 && vtl::mail::EqualNoCase(h.name.substr(0, 8), "Content-")) &&
              !vtl::mail::EqualNoCase(h.name, "Subject"),
          "no header the library writes");
    // No space after the colon: a line of 998 octets stays one.
    written += h.name + ":" + h.value + "\r\n";
  }
  std::vector<ExtraHeader> again;
  Check(vtl::mail::ParseHeaderLines(written, again, why) && again.size() == headers.size(),
        "the headers written back are taken");
  for (size_t i = 0; i < again.size(); ++i)
    Check(again[i].name == headers[i].name && again[i].value == headers[i].value &&
              again[i].addresses == headers[i].addresses,
          "the headers written back read the same");
  return 0;
}
