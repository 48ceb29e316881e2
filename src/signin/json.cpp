#include "signin/json.h"

#include <algorithm>
#include <limits>

#include "jtext/jtext.h"
#include "platform/platform.h"

namespace vtl::signin {
namespace {

// A token answer is a few KiB; the HTTP reader stops at 1 MiB anyway.
constexpr size_t kMaxText = 1 << 20;
// Deep enough for any answer a provider sends, shallow enough that the
// recursion below stays a few KiB of stack.
constexpr int kMaxDepth = 32;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void PutUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The length of the well-formed UTF-8 sequence at the start of `s` (RFC
// 3629 4: no overlong forms, no surrogates, nothing past U+10FFFF); 0 when
// there is none.
size_t Utf8Length(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = b(0);
  size_t n;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < n || b(1) < low || b(1) > high) return 0;
  for (size_t i = 2; i < n; ++i)
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  return n;
}

class Parser {
 public:
  Parser(std::string_view text, std::string* why) : text_(text), why_(why) {}

  bool Object(JsonObject& out) {
    SkipSpace();
    if (!Take('{')) return Fail("the text does not start with '{'");
    SkipSpace();
    if (Take('}')) return End();
    for (;;) {
      JsonObject::Member member;
      if (!String(&member.name)) return false;
      SkipSpace();
      if (!Take(':')) return Fail("a member's name is not followed by ':'");
      SkipSpace();
      if (!MemberValue(member)) {
        Wipe(member);
        return false;
      }
      Keep(out, std::move(member));
      SkipSpace();
      if (Take('}')) return End();
      if (!Take(',')) return Fail("a member is not followed by ',' or '}'");
      SkipSpace();
    }
  }

 private:
  static void Wipe(JsonObject::Member& m) noexcept {
    platform::Wipe(m.text.data(), m.text.capacity());
  }

  // The last of two members of the same name wins; the first's value is
  // wiped, as it may be a token.
  // A member is never moved once kept (a short text lies inside the
  // string itself, and a move would leave its bytes behind): the first of
  // a name takes the last one's value in place.
  static void Keep(JsonObject& out, JsonObject::Member&& member) {
    for (JsonObject::Member& m : out.members)
      if (m.name == member.name) {
        Wipe(m);
        m.kind = member.kind;
        m.text.swap(member.text);
        m.numbers.swap(member.numbers);
        Wipe(member);
        return;
      }
    out.members.push_back(std::move(member));
    Wipe(member);
  }

  bool End() {
    SkipSpace();
    if (at_ != text_.size()) return Fail("something follows the object");
    return true;
  }

  bool Fail(std::string_view what) {
    if (why_) {
      // Where, never what: the text holds tokens.
      *why_ = std::string(what) + " (at byte " + std::to_string(at_) + ")";
    }
    return false;
  }

  void SkipSpace() {
    while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
  }
  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool MemberValue(JsonObject::Member& member) {
    if (at_ >= text_.size()) return Fail("the text ends before a value");
    const char c = text_[at_];
    if (c == '"') {
      member.kind = JsonObject::Member::Kind::String;
      return String(&member.text);
    }
    if (c == '-' || IsDigit(c)) {
      member.kind = JsonObject::Member::Kind::Number;
      const size_t start = at_;
      if (!Number()) return false;
      member.text.assign(text_.substr(start, at_ - start));
      return true;
    }
    if (c == '[') return Array(member);
    member.kind = JsonObject::Member::Kind::Other;
    return Value(1);
  }

  // An array of the top-level object: kept as its numbers when every
  // element is an integer within int64, else checked and skipped.
  bool Array(JsonObject::Member& member) {
    ++at_;
    bool integers = true;
    SkipSpace();
    if (Take(']')) {
      member.kind = JsonObject::Member::Kind::Array;
      return true;
    }
    for (;;) {
      SkipSpace();
      const size_t start = at_;
      if (!Value(2)) return false;
      int64_t n = 0;
      if (integers && ReadInteger(text_.substr(start, at_ - start), n))
        member.numbers.push_back(n);
      else
        integers = false;
      SkipSpace();
      if (Take(']')) break;
      if (!Take(',')) return Fail("an element is not followed by ',' or ']'");
    }
    member.kind = integers ? JsonObject::Member::Kind::Array : JsonObject::Member::Kind::Other;
    if (!integers) member.numbers.clear();
    return true;
  }

  // Any value, checked and dropped; `depth` counts the arrays and objects
  // it is inside, the top-level object included.
  bool Value(int depth) {
    if (at_ >= text_.size()) return Fail("the text ends before a value");
    const char c = text_[at_];
    if (c == '"') return String(nullptr);
    if (c == '-' || IsDigit(c)) return Number();
    if (Word("true") || Word("false") || Word("null")) return true;
    if (c != '[' && c != '{') return Fail("a value is none of JSON's");
    if (depth >= kMaxDepth) return Fail("arrays and objects nest too deep");
    const char close = c == '[' ? ']' : '}';
    ++at_;
    SkipSpace();
    if (Take(close)) return true;
    for (;;) {
      SkipSpace();
      if (close == '}') {
        if (!String(nullptr)) return false;
        SkipSpace();
        if (!Take(':')) return Fail("a member's name is not followed by ':'");
        SkipSpace();
      }
      if (!Value(depth + 1)) return false;
      SkipSpace();
      if (Take(close)) return true;
      if (!Take(',')) return Fail("a value is not followed by ',' or its closing bracket");
    }
  }

  // RFC 8259 6.
  bool Number() {
    const size_t start = at_;
    Take('-');
    if (Take('0')) {
    } else if (at_ < text_.size() && IsDigit(text_[at_])) {
      while (at_ < text_.size() && IsDigit(text_[at_])) ++at_;
    } else {
      at_ = start;
      return Fail("a number has no digits");
    }
    if (Take('.')) {
      if (at_ >= text_.size() || !IsDigit(text_[at_])) return Fail("a fraction has no digits");
      while (at_ < text_.size() && IsDigit(text_[at_])) ++at_;
    }
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (at_ >= text_.size() || !IsDigit(text_[at_])) return Fail("an exponent has no digits");
      while (at_ < text_.size() && IsDigit(text_[at_])) ++at_;
    }
    return true;
  }

  // Four hex digits after "\u".
  bool Hex4(char32_t& value) {
    if (text_.size() - at_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = HexValue(text_[at_++]);
      if (h < 0) return false;
      value = value << 4 | static_cast<char32_t>(h);
    }
    return true;
  }

  // A string (RFC 8259 7), unescaped into `out` when given. A lone
  // surrogate escape is refused rather than made U+FFFD: it is never in
  // what a provider writes, and a string changed in reading could be a
  // token that no longer matches.
  bool String(std::string* out) {
    if (!Take('"')) return Fail("a string was expected");
    if (out) {
      // Reserved whole before the first byte, so that the value is never
      // moved to a larger buffer and left behind in the old one.
      // An escape never unescapes to more bytes than it takes.
      size_t end = at_;
      while (end < text_.size() && text_[end] != '"') end += text_[end] == '\\' ? 2 : 1;
      out->clear();
      out->reserve(std::min(end, text_.size()) - at_);
    }
    std::string scratch;
    std::string& to = out ? *out : scratch;
    for (;;) {
      if (at_ >= text_.size()) return Fail("a string is not closed");
      const char c = text_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      if (static_cast<uint8_t>(c) < 0x20) return Fail("a string holds a control character");
      if (c != '\\') {
        const size_t n = Utf8Length(text_.substr(at_));
        if (n == 0) return Fail("a string is not UTF-8");
        if (out) to.append(text_.substr(at_, n));
        at_ += n;
        continue;
      }
      ++at_;
      if (at_ >= text_.size()) return Fail("a string is not closed");
      const char e = text_[at_++];
      char plain = 0;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          plain = e;
          break;
        case 'b':
          plain = '\b';
          break;
        case 'f':
          plain = '\f';
          break;
        case 'n':
          plain = '\n';
          break;
        case 'r':
          plain = '\r';
          break;
        case 't':
          plain = '\t';
          break;
        case 'u': {
          char32_t u = 0;
          if (!Hex4(u)) return Fail("a \\u escape is not four hex digits");
          if (u >= 0xDC00 && u <= 0xDFFF) return Fail("a string holds a lone low surrogate");
          if (u >= 0xD800 && u <= 0xDBFF) {
            char32_t low = 0;
            if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF)
              return Fail("a string holds a lone high surrogate");
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
          }
          if (out) PutUtf8(u, to);
          continue;
        }
        default:
          return Fail("a string holds an unknown escape");
      }
      if (out) to.push_back(plain);
    }
  }

 public:
  // An integer as JSON writes it, within int64: no fraction, no exponent.
  static bool ReadInteger(std::string_view s, int64_t& value) {
    const bool negative = !s.empty() && s[0] == '-';
    if (negative) s.remove_prefix(1);
    if (s.empty() || s.size() > 19) return false;
    uint64_t v = 0;
    for (const char c : s) {
      if (!IsDigit(c)) return false;
      v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    const uint64_t most = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (v > most + (negative ? 1 : 0)) return false;
    value = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
  }

 private:
  std::string_view text_;
  std::string* why_;
  size_t at_ = 0;
};

const JsonObject::Member* Find(const JsonObject& object, std::string_view name) {
  for (const auto& m : object.members)
    if (m.name == name) return &m;
  return nullptr;
}

}  // namespace

std::optional<std::string> JsonObject::String(std::string_view name) const {
  const Member* m = Find(*this, name);
  if (!m || m->kind != Member::Kind::String) return std::nullopt;
  return m->text;
}

std::optional<int64_t> JsonObject::Integer(std::string_view name) const {
  const Member* m = Find(*this, name);
  int64_t value = 0;
  if (!m || (m->kind != Member::Kind::Number && m->kind != Member::Kind::String) ||
      !Parser::ReadInteger(m->text, value))
    return std::nullopt;
  return value;
}

std::vector<int64_t> JsonObject::Integers(std::string_view name) const {
  const Member* m = Find(*this, name);
  if (!m || m->kind != Member::Kind::Array) return {};
  return m->numbers;
}

void JsonObject::Wipe() noexcept {
  for (Member& m : members) platform::Wipe(m.text.data(), m.text.capacity());
}

bool ParseJsonObject(std::string_view text, JsonObject& out, std::string* why) {
  out.Wipe();
  out.members.clear();
  if (text.size() > kMaxText) {
    if (why) *why = "the text is larger than 1 MiB";
    return false;
  }
  if (Parser(text, why).Object(out)) return true;
  out.Wipe();
  out.members.clear();
  return false;
}

bool DecodeBase64Url(std::string_view text, std::string& out) {
  out.clear();
  // JWTs and PKCE write no padding.
  if (text.find('=') != std::string_view::npos) return false;
  out.reserve(text.size() / 4 * 3 + 2);
  int count = 0;
  uint32_t spare = 0;
  // Bits left over past the last byte are refused (RFC 4648 3.5), so that
  // each text has one reading.
  return jtext::Base64Decode(
             text, true, [&](char c) { out.push_back(c); }, count, spare) &&
         count != 1 && spare == 0;
}

std::string EncodeBase64Url(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  // RFC 4648 5: '-' and '_' for '+' and '/', and no padding.
  jtext::Base64(data, [&](char c) {
    if (c == '+')
      out.push_back('-');
    else if (c == '/')
      out.push_back('_');
    else if (c != '=')
      out.push_back(c);
  });
  return out;
}

}  // namespace vtl::signin
