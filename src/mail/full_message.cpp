#include "mail/full_message.h"

#include <memory>
#include <utility>

#include "mail/address_list.h"
#include "mail/compose.h"
#include "mail/header_fields.h"
#include "mail/header_lines.h"
#include "mail/mime_parts.h"
#include "mail/server_url.h"
#include "platform/platform.h"
#include "vtl.h"

namespace vtl::mail {
namespace {

constexpr uint64_t kMostAttached = uint64_t{1} << 40;

const char* Text(const char* s) {
  return s != nullptr ? s : "";
}

// A boundary of the message's own: "=_" cannot occur in base64 or
// quoted-printable, and a text that holds it anyway gets another.
std::string Boundary(std::string_view messageId, std::string_view text) {
  std::string boundary = "=_vtl_";
  for (char c : messageId.substr(0, messageId.find('@')))
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
      boundary.push_back(c);
  const std::string base = boundary;
  for (int n = 1; text.find(boundary) != std::string_view::npos; ++n)
    boundary = base + "_" + std::to_string(n);
  return boundary;
}

}  // namespace

bool FullMessage::WriteText(LineSink& sink) {
  return WriteBodyLines(body_, mode_, sink, toShiftJis_ ? &*toShiftJis_ : nullptr);
}

bool FullMessage::WriteParts(LineSink& sink, std::string& why, bool withFiles) {
  if (!sink.Line(headers_)) return false;
  if (boundary_.empty()) return WriteText(sink);
  const std::string delimiter = "--" + boundary_ + "\r\n";
  // RFC 2046 5.1.1: the line break before a delimiter belongs to the
  // delimiter, so the text's own last one needs one more after it.
  if (hasText_ &&
      !(sink.Line(delimiter + textHeader_ + "\r\n") && WriteText(sink) && sink.Line("\r\n")))
    return false;
  for (Attachment& file : files_) {
    if (!sink.Line(delimiter + FilePartHeader(file.name))) return false;
    if (withFiles && !WriteFileContent(file, sink, why)) return false;
  }
  return sink.Line("--" + boundary_ + "--\r\n");
}

bool FullMessage::Write(LineSink& sink, std::string& why) {
  return WriteParts(sink, why, true);
}

uint64_t FullMessage::Size() {
  SizeCounter counter;
  std::string why;
  WriteParts(counter, why, false);
  uint64_t size = counter.size();
  for (const Attachment& file : files_) size += Base64LinesSize(file.size);
  return size;
}

int MakeFullMessage(const MailExArgs& args, const SendEnv& env, FullMessage& out,
                    std::string& why) {
  if (args.from == nullptr || *args.from == '\0') {
    why = std::string("from is ") + (args.from == nullptr ? "null" : "empty");
    return VTL_SEND_BAD_ARGUMENT;
  }
  const LocaleInfo& locale = env.locale;
  jtext::TextMode mode =
      jtext::DecideTextMode(locale.abbrevLangName, locale.codePage, locale.leadBytes);
  // Every text is read in Unicode: a list cut on the host's bytes would
  // take a Shift_JIS trail byte for '\\' or '@'.
  const bool utf8Host = ReadsAsUtf8(locale);
  std::unique_ptr<Charsets> charsets = !utf8Host && env.charsets ? env.charsets(locale) : nullptr;
  const unsigned codePage = utf8Host ? jtext::kUtf8CodePage : locale.codePage;
  jtext::ToUtf8 toUtf8(codePage, charsets.get(), mode.japanese);

  Mailbox from;
  if (!ParseMailbox(toUtf8.Convert(args.from), "from", from, why)) return VTL_SEND_BAD_ARGUMENT;
  std::vector<Mailbox> lists[3];
  const char* const names[] = {"to", "cc", "bcc"};
  const char* const values[] = {args.to, args.cc, args.bcc};
  for (int i = 0; i < 3; ++i)
    if (!ParseAddressList(toUtf8.Convert(Text(values[i])), names[i], lists[i], why))
      return VTL_SEND_BAD_ARGUMENT;
  // Every entry counts, repeated or not: the headers carry them all.
  if (lists[0].size() + lists[1].size() + lists[2].size() > kMaxRecipients) {
    why = "to, cc and bcc name more than " + std::to_string(kMaxRecipients) +
          " recipients; one message takes at most " + std::to_string(kMaxRecipients) +
          " (servers may refuse more)";
    return VTL_SEND_BAD_ARGUMENT;
  }
  for (const auto& list : lists)
    for (const Mailbox& m : list) {
      bool known = false;
      for (const std::string& r : out.recipients) known = known || SameMailbox(r, m.address);
      if (!known) out.recipients.push_back(m.address);
    }
  if (out.recipients.empty()) {
    why = "no recipient: to, cc and bcc are all empty";
    return VTL_SEND_BAD_ARGUMENT;
  }
  out.from = from.address;
  std::vector<ExtraHeader> extra;
  if (!ParseHeaderLines(toUtf8.Convert(Text(args.headers)), extra, why))
    return VTL_SEND_BAD_ARGUMENT;
  const std::string subject = toUtf8.Convert(Text(args.subject));
  std::string body = toUtf8.Convert(Text(args.body));
  if (!OpenAttachments(Text(args.attachments), codePage, toUtf8, env.backslashInPaths,
                       env.openFile ? env.openFile : FileOpener(platform::OpenInputFile),
                       out.files_, why))
    return VTL_SEND_BAD_ARGUMENT;
  // Far beyond any server's limit, and short of what the size arithmetic
  // could hold.
  uint64_t total = 0;
  for (const Attachment& a : out.files_) {
    total += a.size < kMostAttached ? a.size : kMostAttached;
    if (total >= kMostAttached) {
      why = "attachments: the files come to more than 1 TiB";
      return VTL_SEND_BAD_ARGUMENT;
    }
  }

  // The form of the whole message, decided on every text in it: ISO-2022-JP
  // in Japanese mode while it carries them all, plain ASCII elsewhere while
  // they are, else UTF-8.
  std::vector<std::string_view> texts{from.name, subject, body};
  // Bcc's names appear nowhere: they must not change what the others see.
  for (const auto* list : {&lists[0], &lists[1]})
    for (const Mailbox& m : *list) texts.push_back(m.name);
  for (const ExtraHeader& h : extra) texts.push_back(h.value);
  HeaderForm form = HeaderForm::Ascii;
  if (mode.japanese) {
    std::unique_ptr<Charsets> forShiftJis = env.charsets ? env.charsets(locale) : nullptr;
    out.toShiftJis_.emplace(jtext::kUtf8CodePage, std::move(forShiftJis));
    form = HeaderForm::Iso2022Jp;
    for (std::string_view t : texts)
      if (out.toShiftJis_->Loses(t)) form = HeaderForm::Utf8;
  } else {
    for (std::string_view t : texts)
      if (!jtext::IsAscii(t)) form = HeaderForm::Utf8;
  }
  if (form != HeaderForm::Iso2022Jp) out.toShiftJis_.reset();
  HeaderFields fields(form, out.toShiftJis_ ? &*out.toShiftJis_ : nullptr);

  std::string& h = out.headers_;
  h = fields.Mailboxes("From:", {from});
  // Bcc goes into the envelope alone: a header would tell every recipient.
  if (lists[0].empty() && lists[1].empty()) h += "To: undisclosed-recipients:;\r\n";
  if (!lists[0].empty()) h += fields.Mailboxes("To:", lists[0]);
  if (!lists[1].empty()) h += fields.Mailboxes("Cc:", lists[1]);
  if (!subject.empty()) h += fields.Text("Subject:", subject);
  for (const ExtraHeader& e : extra) {
    const std::string label = e.name + ":";
    std::vector<Mailbox> list;
    if (e.addresses && ParseAddressList(e.value, e.name, list, why))
      h += fields.Mailboxes(label, list);
    else
      h += fields.Text(label, e.value);
  }

  // The text as VTLSendMail sends it: ISO-2022-JP converted line by line as
  // it goes, ASCII as it is, UTF-8 encoded whole beforehand.
  out.hasText_ = !body.empty() || out.files_.empty();
  std::string encoding = "7bit", charset = "US-ASCII";
  if (form == HeaderForm::Iso2022Jp) {
    out.mode_ = jtext::ShiftJisMode(true);
    charset = "iso-2022-jp";
    out.body_ = std::move(body);
  } else if (form == HeaderForm::Utf8) {
    EncodedBody encoded = EncodeUtf8Body(std::move(body));
    encoding = encoded.encoding == TransferEncoding::Base64 ? "base64" : "quoted-printable";
    charset = "UTF-8";
    out.body_ = std::move(encoded.lines);
  } else {
    out.body_ = std::move(body);
  }
  out.textHeader_ = TextPartHeader(encoding, charset);
  const LocalTime now = env.clock ? env.clock() : LocalTime{};
  const std::string messageId = MakeMessageId(now, env.processId, env.sequence, env.hostName);
  std::string content;
  if (!out.files_.empty()) {
    out.boundary_ = Boundary(messageId, out.body_);
    content = "Content-Type: multipart/mixed; boundary=\"" + out.boundary_ + "\"\r\n";
  } else if (form != HeaderForm::Ascii) {
    content = out.textHeader_;
  }
  bool ownMailer = false;
  for (const ExtraHeader& e : extra) ownMailer = ownMailer || EqualNoCase(e.name, "X-Mailer");
  AppendMimeTail(h, FormatMailDate(now), messageId, content, !ownMailer);
  // A field name of the caller's may start with '.': in the data section
  // such a line gets its transparency dot (RFC 5321 4.5.2) like any other.
  for (size_t at = h.starts_with('.') ? 0 : h.find("\n."); at != std::string::npos;
       at = h.find("\n.", at + 3))
    h.insert(at == 0 ? 0 : at + 1, 1, '.');
  why.clear();
  return VTL_SEND_OK;
}

}  // namespace vtl::mail
