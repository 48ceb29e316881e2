// The message of VTLSendMailEx: a sender, lists of recipients, lines of
// the caller's own, a text and files. Checked, converted and opened before
// the server is bothered; the files are read as the message is sent.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "jtext/jtext.h"
#include "jtext/recode.h"
#include "mail/attachments.h"
#include "mail/message.h"
#include "mail/session.h"

namespace vtl::mail {

// RFC 5321 4.5.3.1.8: a server must take at least 100 recipients; more
// may be refused, and then no one would get the message.
inline constexpr size_t kMaxRecipients = 100;

class FullMessage : public MessageSource {
 public:
  bool Write(LineSink& sink, std::string& why) override;
  uint64_t Size() override;

  std::string from;                     // the envelope's sender
  std::vector<std::string> recipients;  // each address once, Bcc's included

 private:
  friend int MakeFullMessage(const MailExArgs&, const SendEnv&, FullMessage&, std::string&);
  bool WriteText(LineSink& sink);
  bool WriteParts(LineSink& sink, std::string& why, bool withFiles);

  std::string headers_;
  std::string boundary_;  // empty: no files, the text alone
  bool hasText_ = false;
  std::string textHeader_;  // the text part's content lines
  jtext::TextMode mode_;
  std::optional<jtext::ToShiftJis> toShiftJis_;  // UTF-8 to code page 932
  std::string body_;                             // UTF-8, or its encoded lines
  std::vector<Attachment> files_;
};

// Checks every argument but the server, converts the texts, opens the
// files and composes the header block: 0, or VTL_SEND_BAD_ARGUMENT with
// `why` in words.
int MakeFullMessage(const MailExArgs& args, const SendEnv& env, FullMessage& out, std::string& why);

}  // namespace vtl::mail
