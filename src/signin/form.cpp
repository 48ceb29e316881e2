#include "signin/form.h"

#include <cstdint>

namespace vtl::signin {
namespace {

bool IsUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

template <class Put>
void Encode(std::string_view text, Put&& put) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : text) {
    if (IsUnreserved(c)) {
      put(c);
    } else {
      const auto b = static_cast<uint8_t>(c);
      put('%');
      put(kHex[b >> 4]);
      put(kHex[b & 15]);
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <class Put>
bool Decode(std::string_view text, bool plusIsSpace, Put&& put) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
      const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
      if (low < 0) return false;
      put(static_cast<char>(high << 4 | low));
      i += 2;
    } else {
      put(plusIsSpace && c == '+' ? ' ' : c);
    }
  }
  return true;
}

}  // namespace

std::string PercentEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  Encode(text, [&](char c) { out.push_back(c); });
  return out;
}

void AppendPercentEncoded(mail::Secret& out, std::string_view text) {
  Encode(text, [&](char c) { out.Append(c); });
}

bool AppendPercentDecoded(mail::Secret& out, std::string_view text, bool plusIsSpace) {
  return Decode(text, plusIsSpace, [&](char c) { out.Append(c); });
}

void AppendFormField(mail::Secret& form, std::string_view name, std::string_view value) {
  if (!form.empty()) form.Append('&');
  AppendPercentEncoded(form, name);
  form.Append('=');
  AppendPercentEncoded(form, value);
}

bool FormValue(std::string_view query, std::string_view name, std::string& value) {
  bool found = false;
  mail::Secret decoded;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view field = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const size_t eq = field.find('=');
    mail::Secret key;
    // A name that cannot be decoded is not the one asked for.
    if (!AppendPercentDecoded(key, field.substr(0, eq), true) || key.view() != name) continue;
    // Twice: a redirect that carries two codes or two states is not read.
    if (found) return false;
    found = true;
    if (eq != std::string_view::npos && !AppendPercentDecoded(decoded, field.substr(eq + 1), true))
      return false;
  }
  if (found) value.assign(decoded.view());
  return found;
}

}  // namespace vtl::signin
