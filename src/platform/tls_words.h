// The words of a TLS failure, shared by the OpenSSL and the SChannel
// clients so that a detail reads alike whichever system sent the mail. No
// OS header here.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace vtl::platform::tls_words {

inline constexpr std::string_view kClearText =
    "the server answered in clear text, not TLS (port 465 takes smtps://, 587 smtp://)";
inline constexpr std::string_view kOldProtocol =
    "the server wants TLS 1.1 or older, which is not allowed";
inline constexpr std::string_view kNoCommonCipher = "no cipher in common";
inline constexpr std::string_view kClosed = "the server closed the connection during the handshake";
inline constexpr std::string_view kCnOnly =
    "no subjectAltName: the certificate names its host only as the subject's common name, which "
    "is not checked (RFC 9525)";

// How a CA or a self-signed certificate comes to be trusted: by the option
// of the program that sends (TlsPeer::trustOption), where it has one; else
// by the system's own ways, all that a library's user has.
inline std::string TrustWays(std::string_view option) {
  if (!option.empty()) return "with " + std::string(option) + " or in the system's store";
#ifdef _WIN32
  return "in the system's or the user's certificate store";
#else
  return "in the system's store or with SSL_CERT_FILE, a PEM file of the roots to trust";
#endif
}

inline std::string UntrustedIssuerHint(std::string_view option) {
  return " (trust the CA " + TrustWays(option) +
         "; a proxy or security product that inspects TLS does this)";
}

inline std::string SelfSignedHint(std::string_view option) {
  return " (trust it " + TrustWays(option) + "; or give the server a certificate from a CA)";
}

// The names of a certificate as a detail lists them, "a, b, c, d, ...":
// the first few.
class NameList {
 public:
  // False once the list is full: the rest are left out.
  bool Add(std::string_view name) {
    if (listed_ == kListed) {
      text_ += ", ...";
      return false;
    }
    text_.append(listed_++ > 0 ? ", " : "").append(name);
    return true;
  }
  std::string& text() { return text_; }

 private:
  static constexpr int kListed = 4;
  int listed_ = 0;
  std::string text_;
};

// A certificate's fields may hold any bytes, a detail only printable ASCII
// (other bytes as \xNN) on one short line: a field is cut after `limit`
// bytes of text.
inline void AppendPrintable(std::string& out, std::string_view text, size_t limit = 160) {
  static constexpr char kHex[] = "0123456789abcdef";
  const size_t start = out.size();
  for (const char ch : text) {
    if (out.size() - start >= limit) {
      out += "...";
      break;
    }
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F) {
      out += ch;
    } else {
      out.append("\\x").append(1, kHex[c >> 4]).append(1, kHex[c & 15]);
    }
  }
}

// The alert's name as RFC 8446 (section 6) has it, with spaces.
inline std::string AlertName(int code) {
  static constexpr std::pair<int, std::string_view> kNames[] = {
      {0, "close notify"},
      {10, "unexpected message"},
      {20, "bad record MAC"},
      {22, "record overflow"},
      {40, "handshake failure"},
      {42, "bad certificate"},
      {43, "unsupported certificate"},
      {44, "certificate revoked"},
      {45, "certificate expired"},
      {46, "certificate unknown"},
      {47, "illegal parameter"},
      {48, "unknown CA"},
      {49, "access denied"},
      {50, "decode error"},
      {51, "decrypt error"},
      {70, "protocol version"},
      {71, "insufficient security"},
      {80, "internal error"},
      {86, "inappropriate fallback"},
      {90, "user canceled"},
      {109, "missing extension"},
      {110, "unsupported extension"},
      {112, "unrecognized name"},
      {113, "bad certificate status response"},
      {115, "unknown PSK identity"},
      {116, "certificate required"},
      {120, "no application protocol"}};
  for (const auto& [number, name] : kNames)
    if (number == code) return std::string(name);
  return std::to_string(code);
}

// What an alert from the server during the handshake says.
inline std::string AlertFault(int code) {
  if (code == 70) return std::string(kOldProtocol);  // protocol_version
  // handshake_failure to a ClientHello: the server found nothing it takes.
  if (code == 40)
    return std::string(kNoCommonCipher) + " (the server sent the alert handshake failure)";
  return "the server sent the alert " + AlertName(code);
}

// Whether the first bytes from the server may begin a TLS record (RFC 8446
// 5.1): a content type from 20 to 24, then version 3.x. A server that
// answers in clear sends "220 ..." or the like.
inline bool LooksLikeTls(std::string_view first) {
  if (first.empty()) return true;
  const auto type = static_cast<unsigned char>(first[0]);
  return type >= 20 && type <= 24 && (first.size() < 2 || first[1] == 3);
}

}  // namespace vtl::platform::tls_words
