#include "support/hex.h"

#include <algorithm>
#include <cstdio>

namespace vtl::test {
namespace {

std::string HexWindow(std::string_view s, size_t from, size_t to) {
  std::string out;
  char cell[4];
  for (size_t i = from; i < to && i < s.size(); ++i) {
    std::snprintf(cell, sizeof cell, "%02X ", static_cast<unsigned char>(s[i]));
    out += cell;
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Escape(std::string_view bytes) {
  std::string out;
  char cell[5];
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (b >= 0x20 && b < 0x7F) {
      out.push_back(c);
    } else {
      std::snprintf(cell, sizeof cell, "\\x%02X", b);
      out += cell;
    }
  }
  return out;
}

std::string HexDiff(std::string_view expected, std::string_view actual) {
  if (expected == actual) return {};
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  const size_t from = at > 16 ? at - 16 : 0;
  const size_t to = at + 16;
  return "first difference at offset " + std::to_string(at) + " (sizes " +
         std::to_string(expected.size()) + " and " + std::to_string(actual.size()) +
         ")\n  expected: " + HexWindow(expected, from, to) +
         "\n  actual:   " + HexWindow(actual, from, to) + "\n  expected: \"" +
         Escape(expected.substr(std::min(from, expected.size()), 64)) + "\"\n  actual:   \"" +
         Escape(actual.substr(std::min(from, actual.size()), 64)) + "\"";
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char n = text[++i];
    if (n == 'r') {
      out.push_back('\r');
    } else if (n == 'n') {
      out.push_back('\n');
    } else if (n == 't') {
      out.push_back('\t');
    } else if (n == 'x' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(n);
    }
  }
  return out;
}

}  // namespace vtl::test
