// The address list parser on any bytes: it never crashes, a why is one line
// of printable ASCII, a mailbox taken holds no control character and an
// ASCII address, and written back as a formatter writes it ("name"
// <address>) each mailbox reads the same again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "mail/address_list.h"

namespace {

using vtl::fuzz::Check;
using vtl::fuzz::IsPrintable;
using vtl::mail::Mailbox;

// RFC 5322 3.2.4: a quoted-string, '"' and '\' escaped.
std::string Quoted(std::string_view name) {
  std::string out = "\"";
  for (const char c : name) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<Mailbox> boxes;
  std::string why;
  const bool parsed = vtl::mail::ParseAddressList(text, "to", boxes, why);
  Mailbox one;
  std::string oneWhy;
  const bool single = vtl::mail::ParseMailbox(text, "from", one, oneWhy);
  Check(single == (parsed && boxes.size() == 1), "one mailbox exactly when the list holds one");
  if (!single)
    Check(oneWhy.starts_with("from: ") && IsPrintable(oneWhy), "a why of printable ASCII");
  if (!parsed) {
    Check(boxes.empty(), "a refused list adds nothing");
    Check(why.starts_with("to: ") && IsPrintable(why), "a why of printable ASCII");
    return 0;
  }
  for (const Mailbox& box : boxes) {
    Check(vtl::mail::FindControl(box.name) == std::string_view::npos, "a name without controls");
    Check(!box.address.empty() && box.address.size() <= vtl::mail::kMaxAddressLength &&
              IsPrintable(box.address),
          "an address of printable ASCII within the limit");
    Check(box.address.find('@') != std::string::npos, "an address with '@'");
    Check(vtl::mail::SameMailbox(box.address, box.address), "an address is its own mailbox");
    const std::string written =
        (box.name.empty() ? std::string() : Quoted(box.name) + " ") + "<" + box.address + ">";
    Mailbox again;
    Check(vtl::mail::ParseMailbox(written, "to", again, why) && again.name == box.name &&
              again.address == box.address,
          "a mailbox written back reads the same");
  }
  return 0;
}
