// The one line that says why a call ended as it did: what the caller reads
// with VTLLastError. Pure text work, no I/O.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace vtl::mail {

// The most of a server's reply a detail quotes; the rest is cut, so the
// context around it and a hint still fit the detail's 1 KiB.
inline constexpr size_t kMaxQuotedReply = 600;

// Appends `bytes` as printable ASCII: each byte outside 0x20-0x7E becomes
// \xNN, and at most `limit` bytes of `bytes` are taken ("..." marks a cut).
void AppendPrintable(std::string& out, std::string_view bytes, size_t limit = kMaxQuotedReply);

// A reply as the server sent it, on one line: its lines joined by " / ",
// without their line ends. Each of `secrets` that is not empty, where the
// reply echoes it, becomes "<hidden>".
std::string QuoteReply(std::string_view reply, std::span<const std::string_view> secrets = {});

// What to do about a well-known refusal, or empty: the reply's enhanced
// status code and words looked up in a small table of providers' replies.
std::string_view HintFor(std::string_view reply);

// Base64 (RFC 4648) decoded, for a server's SASL challenge; empty when it
// is not base64.
std::string DecodeBase64(std::string_view text);

}  // namespace vtl::mail
