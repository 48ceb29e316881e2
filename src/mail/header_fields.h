// Header fields of a message with several recipients and lines of the
// caller's own: address lists and texts, in the form the whole message
// takes. Every text comes in as UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "jtext/recode.h"
#include "mail/address_list.h"

namespace vtl::mail {

enum class HeaderForm {
  Ascii,      // every text is ASCII, and goes as it is
  Iso2022Jp,  // Japanese mode: texts that are not ASCII as ISO-2022-JP encoded-words
  Utf8,       // texts that are not ASCII as UTF-8 encoded-words
};

class HeaderFields {
 public:
  // `toShiftJis` (for Iso2022Jp) reads UTF-8 and gives code page 932.
  HeaderFields(HeaderForm form, jtext::ToShiftJis* toShiftJis)
      : form_(form), toShiftJis_(toShiftJis) {}

  // "label text" CR LF: the text unstructured (Subject, Importance, ...),
  // its line breaks flattened, folded where long.
  std::string Text(std::string_view label, std::string_view utf8) const;

  // "label mailbox, mailbox" CR LF, each mailbox "name <address>" or the
  // bare address, folded between words where a line would pass 78
  // characters.
  std::string Mailboxes(std::string_view label, const std::vector<Mailbox>& list) const;

 private:
  // A display name as the words of a phrase: one quoted-string, or
  // encoded-words.
  std::vector<std::string> Phrase(std::string_view utf8) const;

  HeaderForm form_;
  jtext::ToShiftJis* toShiftJis_;
};

}  // namespace vtl::mail
