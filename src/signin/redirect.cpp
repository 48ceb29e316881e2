#include "signin/redirect.h"

#include "mail/detail.h"
#include "platform/platform.h"
#include "signin/form.h"

namespace vtl::signin {
namespace {

constexpr size_t kMaxShown = 200;

}  // namespace

bool HeadComplete(std::string_view bytes) {
  return bytes.find("\r\n\r\n") != std::string_view::npos ||
         bytes.find("\n\n") != std::string_view::npos;
}

Redirect ReadRedirect(std::string_view head, std::string_view state) {
  Redirect r;
  const size_t lineEnd = head.find_first_of("\r\n");
  if (lineEnd == std::string_view::npos) return r;
  std::string_view line = head.substr(0, lineEnd);
  // RFC 9112 3: method SP request-target SP HTTP-version.
  if (!line.starts_with("GET ")) return r;
  line.remove_prefix(4);
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || !line.substr(space + 1).starts_with("HTTP/1.")) return r;
  std::string_view target = line.substr(0, space);
  if (!target.starts_with("/?")) return r;
  const std::string_view query = target.substr(2);
  std::string given;
  // The state proves that the redirect answers this sign-in's request and
  // not a page that sent the browser here (RFC 6749 10.12).
  if (state.empty() || !FormValue(query, "state", given) || given != state) return r;
  std::string code, error;
  if (FormValue(query, "code", code) && !code.empty()) {
    r.code.Append(code);
    vtl::platform::Wipe(code.data(), code.size());
    r.kind = Redirect::Kind::Code;
    return r;
  }
  if (FormValue(query, "error", error) && !error.empty()) {
    r.kind = Redirect::Kind::Refused;
    mail::AppendPrintable(r.error, error, kMaxShown);
    std::string description;
    if (FormValue(query, "error_description", description))
      mail::AppendPrintable(r.description, description, kMaxShown);
  }
  return r;
}

std::string_view PageFor(Redirect::Kind kind) {
  switch (kind) {
    case Redirect::Kind::Code:
      return "HTTP/1.1 200 OK\r\n"
             "Content-Type: text/html; charset=utf-8\r\n"
             "Cache-Control: no-store\r\n"
             "Connection: close\r\n\r\n"
             "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Signed in</title></head>"
             "<body><p>Signed in. You may close this window.</p>"
             "<p>\xE3\x82\xB5\xE3\x82\xA4\xE3\x83\xB3\xE3\x82\xA4\xE3\x83\xB3\xE3\x81\x97\xE3\x81"
             "\xBE\xE3\x81\x97\xE3\x81\x9F\xE3\x80\x82\xE3\x81\x93\xE3\x81\xAE\xE3\x82\xA6\xE3\x82"
             "\xA3\xE3\x83\xB3\xE3\x83\x89\xE3\x82\xA6\xE3\x81\xAF\xE9\x96\x89\xE3\x81\x98\xE3\x81"
             "\xA6\xE3\x81\x8B\xE3\x81\xBE\xE3\x81\x84\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80"
             "\x82</p></body></html>\n";
    case Redirect::Kind::Refused:
      return "HTTP/1.1 200 OK\r\n"
             "Content-Type: text/html; charset=utf-8\r\n"
             "Cache-Control: no-store\r\n"
             "Connection: close\r\n\r\n"
             "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Not signed in</title>"
             "</head><body><p>The sign-in was not completed. You may close this window.</p>"
             "<p>\xE3\x82\xB5\xE3\x82\xA4\xE3\x83\xB3\xE3\x82\xA4\xE3\x83\xB3\xE3\x81\xAF\xE5\xAE"
             "\x8C\xE4\xBA\x86\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x81\xA7\xE3\x81"
             "\x97\xE3\x81\x9F\xE3\x80\x82\xE3\x81\x93\xE3\x81\xAE\xE3\x82\xA6\xE3\x82\xA3\xE3\x83"
             "\xB3\xE3\x83\x89\xE3\x82\xA6\xE3\x81\xAF\xE9\x96\x89\xE3\x81\x98\xE3\x81\xA6\xE3\x81"
             "\x8B\xE3\x81\xBE\xE3\x81\x84\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80\x82</p>"
             "</body></html>\n";
    case Redirect::Kind::NotOurs:
      break;
  }
  return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

}  // namespace vtl::signin
