// The little HTTP/1.1 the sign-in needs: a form POSTed to a provider's
// endpoint over vtl's own TLS, and the answer read back with its
// Content-Length or chunked. Requests and answers hold secrets (codes,
// verifiers, tokens), so both live in Secret buffers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "mail/secret.h"
#include "platform/platform.h"

namespace vtl::signin {

// An https URL's parts. Only https: a token never crosses in clear.
struct HttpsUrl {
  std::string host;  // an IPv6 address without brackets
  bool hostIsAddress = false;
  uint16_t port = 443;
  std::string path;  // from the first '/', query included; "/" when none
};
// false for anything but a well-formed https URL without user info or a
// fragment; `why` says what is wrong.
bool ParseHttpsUrl(std::string_view text, HttpsUrl& out, std::string* why = nullptr);

struct HttpAnswer {
  int status = 0;           // 200, 400, ...
  std::string contentType;  // as sent, parameters included
  mail::Secret body;
};

// The bytes of a POST of `form` to `url`, with Host, Content-Type,
// Content-Length, Accept: application/json and Connection: close.
void PostRequest(const HttpsUrl& url, std::string_view form, mail::Secret& out);

// Reads one HTTP/1.1 answer as its bytes arrive: the status line, the
// header fields, and a body framed by Content-Length, chunked, or the end
// of the connection. Sizes are bounded (64 KiB of head, 1 MiB of body).
class AnswerReader {
 public:
  enum class State { More, Done, Bad };
  // Takes the next bytes; Done once the answer is whole, Bad (with Why())
  // when it cannot be HTTP.
  State Feed(std::string_view bytes);
  // The connection ended: Done when the body was framed by its end.
  State End();
  const std::string& Why() const { return why_; }
  HttpAnswer& Answer() { return answer_; }

 private:
  State Fail(std::string why);
  mail::Secret buffer_;
  HttpAnswer answer_;
  std::string why_;
  enum class Part {
    Head,
    Body,
    ChunkSize,
    ChunkData,
    ChunkEnd,
    Trailer,
    Finished
  } part_ = Part::Head;
  bool chunked_ = false;
  bool untilEnd_ = false;
  uint64_t remaining_ = 0;
  // Bytes of head (interim answers included) or, after it, of chunk
  // framing and trailers; each bounded.
  size_t overhead_ = 0;
  bool lengthKnown_ = false;  // a Content-Length came; its value is in remaining_
  bool http10_ = false;

  State Line(std::string_view line);
  State StatusLine(std::string_view line);
  State Field(std::string_view line);
  State HeadEnd();
  State ChunkSize(std::string_view line);
};

// Sends a form to a provider. 0 with the answer (whatever its status);
// else a SendResult as for mail (2, 4 unreachable; 8 TLS; 9 certificate;
// 7 an answer that is not HTTP or did not come within the time), with
// `why` in words that name the host.
// Throws nothing but std::bad_alloc.
class Http {
 public:
  virtual ~Http() = default;
  virtual int PostForm(const HttpsUrl& url, std::string_view form, HttpAnswer& answer,
                       std::string& why) = 0;
};

// The real one: connects through `network`, starts TLS with the
// certificate checked as for mail (trusting only `caFile` when given),
// and bounds each request by `timeout`.
struct HttpsEnv {
  Network* network = nullptr;
  std::function<TlsOutcome(std::unique_ptr<Connection>, const TlsPeer&)> tls;  // StartTls if unset
  std::string caFile;
  std::string trustOption;
  Millis timeout{30'000};
};
std::unique_ptr<Http> MakeHttps(HttpsEnv env);

}  // namespace vtl::signin
