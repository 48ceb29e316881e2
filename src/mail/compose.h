// The decision of a mail's form: ISO-2022-JP, the host's text as it is, or
// UTF-8, and the header block and body that follow from it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "mail/message.h"
#include "mail/session.h"

namespace vtl::mail {

// The mail after DATA: the header block, and the body as WriteBodyLines
// takes it. ISO-2022-JP and plain text are converted as they are sent;
// UTF-8 is encoded whole beforehand.
struct Composition {
  std::string headers;
  jtext::TextMode mode;
  std::optional<jtext::ToShiftJis> toShiftJis;
  std::string_view body;    // the caller's
  std::string encodedBody;  // when not empty, the body instead
  std::string_view Body() const {
    return encodedBody.empty() ? body : std::string_view(encodedBody);
  }
};

// Whether the host's text is read as UTF-8: a UTF-8 locale, or one that
// names no codeset or ASCII, which say nothing of bytes from 0x80 up (the
// text of nearly every such system today is UTF-8).
bool ReadsAsUtf8(const LocaleInfo& locale);

// How the texts go out:
// - Japanese mode: ISO-2022-JP, as long as it carries every character;
//   else the whole mail in UTF-8.
// - Otherwise: as they are when all ASCII, else the whole mail in UTF-8.
Composition Compose(const MailArgs& args, const SendEnv& env, jtext::TextMode mode,
                    std::string_view date, std::string_view messageId);

}  // namespace vtl::mail
