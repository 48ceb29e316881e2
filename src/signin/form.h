// Forms and queries (application/x-www-form-urlencoded): what the
// authorization URL and the token requests are written in. No I/O here.
#pragma once

#include <string>
#include <string_view>

#include "mail/secret.h"

namespace vtl::signin {

// Every byte but the unreserved characters (RFC 3986 2.3) as %XX.
std::string PercentEncode(std::string_view text);

// The same, appended to a Secret, for values that are tokens.
void AppendPercentEncoded(mail::Secret& out, std::string_view text);
// %XX decoded (and '+' as a space when `plusIsSpace`), appended to `out`;
// false for a '%' not followed by two hex digits.
bool AppendPercentDecoded(mail::Secret& out, std::string_view text, bool plusIsSpace);

// Appends `name=value` to a form, with '&' before it unless the form is
// empty, both percent-encoded. A form holds codes and secrets, hence a
// Secret.
void AppendFormField(mail::Secret& form, std::string_view name, std::string_view value);

// The value of `name` in a query or form ("a=1&b=2"), percent-decoded
// ('+' as a space); false when it is absent, given twice, or badly
// encoded.
bool FormValue(std::string_view query, std::string_view name, std::string& value);

}  // namespace vtl::signin
