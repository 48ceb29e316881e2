#include "mail/compose.h"

#include <memory>
#include <utility>

namespace vtl::mail {
// A locale that names no codeset, or ASCII, says nothing of bytes from 0x80
// up; they are read as UTF-8, the text of nearly every such system today
// (containers, services, C programs run without a locale).
bool ReadsAsUtf8(const LocaleInfo& locale) {
  if (locale.codePage == jtext::kUtf8CodePage) return true;
  if (locale.codePage != 0) return locale.codePage == 20127;  // Windows' US-ASCII
  std::string name;
  for (char c : locale.codeset)
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
      name.push_back(c);
    else if (c >= 'A' && c <= 'Z')
      name.push_back(static_cast<char>(c - 'A' + 'a'));
  return name.empty() || name == "ansix341968" || name == "ascii" || name == "usascii" ||
         name == "646";
}

Composition Compose(const MailArgs& args, const SendEnv& env, jtext::TextMode mode,
                    std::string_view date, std::string_view messageId) {
  Composition c;
  std::string_view texts[] = {args.fromName, args.toName, args.subject, args.body};
  // A Japanese locale on another code page: the texts become code page 932
  // first, and from there go the way a code page 932 system's texts go.
  // Where the system has no such conversion, they go as from a system that
  // is not Japanese, rather than under a label they do not match.
  if (mode.japanese && !mode.shiftJis) {
    std::unique_ptr<Charsets> charsets = env.charsets ? env.charsets(env.locale) : nullptr;
    if (charsets) {
      c.toShiftJis.emplace(env.locale.codePage, std::move(charsets));
      mode = jtext::ShiftJisMode(true);
      // A byte-order mark that starts a UTF-8 text (a body read from a file
      // saved with one, say) marks the encoding; it is no character of the
      // text, and would arrive as a GETA MARK.
      if (env.locale.codePage == jtext::kUtf8CodePage)
        for (std::string_view& text : texts)
          if (text.starts_with(jtext::kUtf8ByteOrderMark))
            text.remove_prefix(jtext::kUtf8ByteOrderMark.size());
    } else {
      mode.japanese = false;
    }
  }
  bool utf8 = false;
  for (std::string_view text : texts)
    utf8 = utf8 || (!mode.japanese ? !jtext::IsAscii(text)
                    : c.toShiftJis ? c.toShiftJis->Loses(text)
                                   : jtext::HoldsIbmExtension(text));
  const auto [fromName, toName, subject, body] = texts;

  // The host's own text, read in its code page: through the conversions
  // already open, else through the system's, else as UTF-8. A code page 932
  // system that cannot read its own code page keeps ISO-2022-JP.
  unsigned codePage = env.locale.codePage;
  Charsets* charsets = c.toShiftJis ? c.toShiftJis->charsets() : nullptr;
  std::unique_ptr<Charsets> opened;
  if (utf8 && !charsets) {
    if (!ReadsAsUtf8(env.locale) && env.charsets) opened = env.charsets(env.locale);
    charsets = opened.get();
    if (!charsets) codePage = jtext::kUtf8CodePage;
    utf8 = charsets || !mode.japanese;
  }

  if (!utf8) {
    c.mode = mode;
    std::string fromName932, toName932, subject932;
    MessageTexts wire{args.fromAddress, fromName, args.toAddress, toName, subject};
    if (c.toShiftJis) {
      wire.fromName = fromName932 = c.toShiftJis->Convert(fromName);
      wire.toName = toName932 = c.toShiftJis->Convert(toName);
      wire.subject = subject932 = c.toShiftJis->Convert(subject);
    }
    c.headers = ComposeHeaderBlock(wire, mode, date, messageId);
    c.body = body;
    return c;
  }

  jtext::ToUtf8 toUtf8(codePage, charsets, mode.japanese);
  const std::string fromNameUtf8 = toUtf8.Convert(fromName);
  const std::string toNameUtf8 = toUtf8.Convert(toName);
  const std::string subjectUtf8 = toUtf8.Convert(subject);
  EncodedBody encoded = EncodeUtf8Body(toUtf8.Convert(body));
  c.headers = ComposeUtf8HeaderBlock(
      {args.fromAddress, fromNameUtf8, args.toAddress, toNameUtf8, subjectUtf8}, encoded.encoding,
      date, messageId);
  // The encoded lines are ASCII: they go as they are, dot-stuffed.
  c.mode = jtext::TextMode{};
  c.toShiftJis.reset();
  c.encodedBody = std::move(encoded.lines);
  return c;
}

}  // namespace vtl::mail
