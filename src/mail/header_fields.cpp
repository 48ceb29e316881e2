#include "mail/header_fields.h"

#include "jtext/jtext.h"
#include "mail/message.h"

namespace vtl::mail {
namespace {

// RFC 5322 2.1.1: lines should be at most 78 characters.
constexpr size_t kFoldAt = 78;
// A quoted name longer than this goes as encoded-words, which fold; one
// quoted-string would not fit a line of 998.
constexpr size_t kLongestQuotedName = 900;

}  // namespace

std::string HeaderFields::Text(std::string_view label, std::string_view utf8) const {
  const std::string flat = FlattenLineBreaks(utf8);
  if (form_ == HeaderForm::Iso2022Jp && !jtext::IsAscii(flat))
    return FormatHeaderLine(label, toShiftJis_->Convert(flat), {}, jtext::ShiftJisMode(true));
  return Utf8TextLine(label, flat);
}

std::vector<std::string> HeaderFields::Phrase(std::string_view utf8) const {
  const std::string flat = FlattenLineBreaks(utf8);
  if (jtext::IsAscii(flat)) {
    // Escapes may double the name: the quoted form is what must fit.
    std::string quoted = QuotedDisplayName(flat);
    if (quoted.size() <= kLongestQuotedName) return {std::move(quoted)};
  }
  if (form_ == HeaderForm::Iso2022Jp && !jtext::IsAscii(flat)) {
    const std::string sjis = toShiftJis_->Convert(flat);
    if (jtext::ToIso2022Jp(sjis, jtext::ShiftJisMode(true)).hadDoubleByte)
      return jtext::EncodeHeaderWords(sjis, kMaxEncodedWord);
  }
  // RFC 2047 5(3): an encoded-word may stand for a word of a phrase.
  return jtext::EncodeUtf8Words(flat, kMaxEncodedWord);
}

std::string HeaderFields::Mailboxes(std::string_view label,
                                    const std::vector<Mailbox>& list) const {
  std::string out(label);
  size_t lineStart = 0;
  auto put = [&](std::string_view word) {
    if (out.size() - lineStart + 1 + word.size() > kFoldAt &&
        out.size() > lineStart + label.size()) {
      out.append("\r\n");
      lineStart = out.size();
    }
    out.push_back(' ');
    out.append(word);
  };
  for (size_t i = 0; i < list.size(); ++i) {
    const Mailbox& m = list[i];
    const char* comma = i + 1 < list.size() ? "," : "";
    if (m.name.empty()) {
      put(m.address + comma);
      continue;
    }
    for (const std::string& word : Phrase(m.name)) put(word);
    put("<" + m.address + ">" + comma);
  }
  return out.append("\r\n");
}

}  // namespace vtl::mail
