// A reader for the JSON texts a token endpoint answers with (RFC 8259):
// one object whose members the sign-in reads are strings, numbers and
// arrays of numbers. Nested values are checked and skipped. No I/O here.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtl::signin {

// The top-level members of one JSON object, by name. A member named twice
// keeps its last value, as most readers do.
class JsonObject {
 public:
  // The member's string value, unescaped (\uXXXX pairs as UTF-8); nothing
  // when it is absent or not a string.
  std::optional<std::string> String(std::string_view name) const;
  // The member's value when it is a number (an integer within int64) or a
  // string holding one (some providers quote expires_in); nothing else.
  std::optional<int64_t> Integer(std::string_view name) const;
  // The integers of a member that is an array of numbers (error_codes).
  std::vector<int64_t> Integers(std::string_view name) const;
  // Overwrites every string value with zeros: an answer holds tokens.
  void Wipe() noexcept;
  ~JsonObject() { Wipe(); }

  struct Member {
    std::string name;
    enum class Kind { String, Number, Array, Other } kind = Kind::Other;
    std::string text;              // a string's value, or a number's digits
    std::vector<int64_t> numbers;  // an array's numbers
  };
  // A deque: a member once kept is never moved, which would leave the
  // bytes of a short token behind.
  std::deque<Member> members;
};

// Reads `text` as one JSON object (white space around it allowed); false
// when it is not one, with `why` saying where in words. Depth is bounded,
// so no input can exhaust the stack.
bool ParseJsonObject(std::string_view text, JsonObject& out, std::string* why = nullptr);

// Base64url without padding (RFC 4648 5), as a JWT's parts are written;
// false for a character outside the alphabet or an impossible length.
bool DecodeBase64Url(std::string_view text, std::string& out);
// The same encoding, for PKCE's verifier and challenge.
std::string EncodeBase64Url(std::string_view data);

}  // namespace vtl::signin
