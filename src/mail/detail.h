// The one line that says why a call ended as it did: what the caller reads
// with VTLLastError. Pure text work, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vtl::mail {

// The most of a server's reply a detail quotes; the rest is cut, so the
// context around it and a hint still fit the detail's 1 KiB.
inline constexpr size_t kMaxQuotedReply = 600;

// Appends `bytes` as printable ASCII: each byte outside 0x20-0x7E becomes
// \xNN, and at most `limit` bytes of `bytes` are taken ("..." marks a cut).
void AppendPrintable(std::string& out, std::string_view bytes, size_t limit = kMaxQuotedReply);

// "host:port" as a detail names a server, an IPv6 address in brackets.
std::string Endpoint(std::string_view host, uint16_t port);

// What the network layer's result (a SendResult) means when it says no
// more.
const char* ConnectFailure(int result);

// The most of a caller's text a why quotes: enough to find the place.
inline constexpr size_t kMaxQuotedInput = 60;

// Why a caller's text is refused, as `where: what "piece" fault`: "to: the
// address "a@@x" holds more than one '@'". The piece is quoted with
// AppendPrintable, cut at kMaxQuotedInput bytes; `what` may be empty.
std::string InputFault(std::string_view where, std::string_view what, std::string_view piece,
                       std::string_view fault);

// A reply as the server sent it, on one line: its lines joined by " / ",
// without their line ends.
std::string QuoteReply(std::string_view reply);

// A reply to a login step, as much of it as cannot hold the login: the
// reply code and the enhanced status code (RFC 3463), "535 5.7.8". A server
// may echo the credentials in any form (another case, split over lines,
// base64 of any alphabet), so the text is never shown. `cut` tells whether
// anything was left out.
std::string LoginReplyHead(std::string_view reply, bool& cut);

// What a refusal's code says of trying again: for 4xx that the server asks
// to try later, for 5xx that it will not take the mail as it is; empty for
// other codes.
std::string_view RefusalKind(int code);

// The fields of an XOAUTH2 error challenge (base64 of a flat JSON object)
// that say why a token was refused and hold none: "status" (a number),
// "schemes" (names) and "scope" (https URLs), as a JSON object again; empty
// when it has none of them. A value of another form, or that holds a part
// of `token` in any case, is left out, as is every field of a challenge
// that is not such an object.
std::string XOAuth2ChallengeFields(std::string_view base64, std::string_view token);

// What to do about a well-known refusal, or empty: the reply's enhanced
// status code and words looked up in a small table of providers' replies.
std::string_view HintFor(std::string_view reply);

// Base64 (RFC 4648) decoded, for a server's SASL challenge; empty when it
// is not base64.
std::string DecodeBase64(std::string_view text);

}  // namespace vtl::mail
