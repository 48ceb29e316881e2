// The sign-in's readers of provider text, on any bytes: the JSON reader
// never crashes and reads back what it reads when written again; a token
// answer is read into a printable, bounded refusal or why; base64url and
// forms give back what they were given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "signin/form.h"
#include "signin/json.h"
#include "signin/token.h"

namespace {

using vtl::fuzz::Check;
using vtl::fuzz::IsPrintable;
namespace signin = vtl::signin;

// Well-formed UTF-8 (the reader checked it) to code points.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto b = [&](size_t k) { return static_cast<char32_t>(static_cast<uint8_t>(s[k])); };
  const char32_t lead = b(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  const size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  char32_t c = lead & (0x3F >> (n - 1));
  for (size_t k = 1; k < n; ++k) c = c << 6 | (b(i + k) & 0x3F);
  i += n;
  return c;
}

void PutEscape(char32_t unit, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 15]);
}

// A string as JSON writes it; with `escapeAll`, everything past ASCII as
// \u escapes (surrogate pairs beyond the BMP).
std::string Quoted(std::string_view s, bool escapeAll) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const size_t start = i;
    const char32_t c = NextCodePoint(s, i);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || (escapeAll && c >= 0x80 && c < 0x10000)) {
      PutEscape(c, out);
    } else if (escapeAll && c >= 0x10000) {
      PutEscape(0xD800 + ((c - 0x10000) >> 10), out);
      PutEscape(0xDC00 + ((c - 0x10000) & 0x3FF), out);
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  return out + "\"";
}

void CheckJson(std::string_view text, bool escapeAll) {
  signin::JsonObject object;
  std::string why;
  if (!signin::ParseJsonObject(text, object, &why)) {
    Check(IsPrintable(why) && !why.empty(), "a refusal says why, in printable ASCII");
    Check(object.members.empty(), "a refused text leaves no member");
    return;
  }
  for (size_t i = 0; i < object.members.size(); ++i)
    for (size_t j = i + 1; j < object.members.size(); ++j)
      Check(object.members[i].name != object.members[j].name, "each name once");
  for (const auto& m : object.members) {
    if (m.kind != signin::JsonObject::Member::Kind::String) continue;
    const std::string again =
        "{" + Quoted(m.name, escapeAll) + ":" + Quoted(m.text, escapeAll) + "}";
    signin::JsonObject back;
    Check(signin::ParseJsonObject(again, back), "a string written again is read");
    Check(
        back.members.size() == 1 && back.members[0].name == m.name && back.String(m.name) == m.text,
        "a string written again reads the same");
  }
}

void CheckAnswer(std::string_view body, int status) {
  signin::HttpAnswer answer;
  answer.status = status;
  answer.contentType = "application/json";
  answer.body.Append(body);
  signin::Tokens tokens;
  signin::Refusal refusal;
  std::string why;
  const signin::AnswerKind kind = signin::ReadTokenAnswer(answer, tokens, refusal, why);
  Check(answer.body.view() == body, "the answer's body is left as it was");
  if (kind == signin::AnswerKind::Broken)
    Check(IsPrintable(why) && !why.empty(), "a printable why");
  if (kind == signin::AnswerKind::Tokens) Check(!tokens.accessToken.empty(), "an access token");
  Check(IsPrintable(refusal.error) && refusal.error.size() <= 203, "a printable, bounded error");
  Check(IsPrintable(refusal.description) && refusal.description.size() <= 203,
        "a printable, bounded description");
  const std::string detail = signin::RefusalDetail("sign-in", refusal);
  Check(IsPrintable(detail) && detail.size() < 1024, "a printable detail within its size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  CheckJson(text, mode & 1);
  CheckAnswer(text, mode & 2 ? 400 : 200);

  std::string bytes;
  if (signin::DecodeBase64Url(text, bytes))
    Check(signin::EncodeBase64Url(bytes) == text, "one base64url text for each byte string");
  std::string back;
  Check(signin::DecodeBase64Url(signin::EncodeBase64Url(text), back) && back == text,
        "base64url gives back what it was given");

  const std::string account = signin::AccountOfIdToken(text);
  for (const char c : account) Check(static_cast<uint8_t>(c) >= 0x20 && c != 0x7F, "no control");

  vtl::mail::Secret form;
  signin::AppendFormField(form, "x", "1");
  signin::AppendFormField(form, text, text);
  std::string value;
  if (text != "x") {
    Check(signin::FormValue(form.view(), text, value) && value == text,
          "a form field reads back as written");
  }
  return 0;
}
