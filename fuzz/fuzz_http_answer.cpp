// The sign-in's HTTP answer reader, on any bytes fed in any pieces: it never
// crashes or hangs, reads the same answer however the bytes are cut, keeps
// within its bounds, and says why in printable words when it refuses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "signin/http.h"

namespace {

using vtl::fuzz::Check;
using vtl::signin::AnswerReader;

// The state, status, type, body and why the reader ends with, as one text
// to compare. Pieces are cut by the lengths in `cuts`, taken in turn.
std::string ReadAll(std::string_view bytes, std::string_view cuts) {
  AnswerReader reader;
  AnswerReader::State state = AnswerReader::State::More;
  for (size_t i = 0; !bytes.empty() && state == AnswerReader::State::More; ++i) {
    const size_t piece =
        cuts.empty() ? bytes.size() : static_cast<uint8_t>(cuts[i % cuts.size()]) + 1u;
    const std::string_view taken = bytes.substr(0, piece);
    bytes.remove_prefix(taken.size());
    state = reader.Feed(taken);
  }
  if (state == AnswerReader::State::More) state = reader.End();
  Check(state != AnswerReader::State::More, "the end of the connection decides");
  Check(reader.End() == state, "a decided answer stays decided");
  const vtl::signin::HttpAnswer& answer = reader.Answer();
  if (state == AnswerReader::State::Bad) {
    Check(!reader.Why().empty() && vtl::fuzz::IsPrintable(reader.Why()), "a printable why");
    return "bad " + reader.Why();
  }
  Check(answer.status >= 200 && answer.status <= 599, "a final status");
  Check(answer.body.view().size() <= 1024 * 1024, "a body within 1 MiB");
  return std::to_string(answer.status) + " " + answer.contentType + "|" +
         std::string(answer.body.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte says how many that follow give the lengths of the pieces.
  const size_t cutCount = data[0] % 8 + 1;
  if (size < 1 + cutCount) return 0;
  const std::string_view cuts(reinterpret_cast<const char*>(data) + 1, cutCount);
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1 + cutCount,
                               size - 1 - cutCount);
  Check(ReadAll(bytes, {}) == ReadAll(bytes, cuts), "the same answer however the bytes arrive");
  Check(ReadAll(bytes, {}) == ReadAll(bytes, std::string_view("\0", 1)),
        "the same answer byte by byte");
  return 0;
}
