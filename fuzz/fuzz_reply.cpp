// The reply parser, on any bytes fed in any pieces: it never crashes, it
// reads the same replies however the bytes are cut, and once it has failed
// it stays failed.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "check.h"
#include "mail/reply.h"

namespace {

using vtl::fuzz::Check;

using Status = vtl::mail::ReplyReader::Status;

// Every reply code read, then the final status.
std::vector<int> ReadAll(const uint8_t* data, size_t size, size_t piece) {
  vtl::mail::ReplyReader reader(256);  // a small line limit, so it is reached
  std::vector<int> codes;
  Status last = Status::NeedMore;
  for (size_t at = 0; at < size; at += piece) {
    const size_t n = size - at < piece ? size - at : piece;
    reader.Feed(reinterpret_cast<const char*>(data) + at, n);
    for (;;) {
      int code = 0;
      last = reader.Next(code);
      if (last != Status::Complete) break;
      Check(code >= 100 && code <= 999, "a three-digit code");
      codes.push_back(code);
    }
    if (last == Status::Malformed || last == Status::TooLong) {
      int code = 0;
      Check(reader.Next(code) == last, "a failed reader stays failed");
      break;
    }
  }
  codes.push_back(-static_cast<int>(last));
  return codes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % 7 + 1;  // the first byte picks how the rest is cut
  const std::vector<int> whole = ReadAll(data + 1, size - 1, size);
  const std::vector<int> cut = ReadAll(data + 1, size - 1, piece);
  Check(whole == cut, "the same replies however the bytes arrive");
  return 0;
}
