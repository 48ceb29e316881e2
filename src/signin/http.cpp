#include "signin/http.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <utility>

#include "mail/detail.h"
#include "mail/login.h"
#include "mail/server_url.h"
#include "vtl.h"

namespace vtl::signin {
namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr uint64_t kMaxBody = 1024 * 1024;

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

// What RFC 3986 3.3 and 3.4 let a path and a query hold, besides
// percent-encoding.
bool IsPathChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=:@/?").find(c) != std::string_view::npos;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// RFC 9110 5.6.2.
bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos))
      return false;
  return true;
}

// A Content-Length's value: digits, or a list of the same digits repeated
// (RFC 9112 6.3, 5). -1 when it is neither, -2 when it says more than the
// body may hold.
int64_t LengthValue(std::string_view value) {
  int64_t result = -1;
  for (;;) {
    const size_t comma = value.find(',');
    const std::string_view member = Trim(value.substr(0, comma));
    if (member.empty()) return -1;
    int64_t n = 0;
    for (const char c : member) {
      if (c < '0' || c > '9') return -1;
      n = n * 10 + (c - '0');
      if (n > static_cast<int64_t>(kMaxBody)) return -2;
    }
    if (result >= 0 && n != result) return -1;
    result = n;
    if (comma == std::string_view::npos) return result;
    value.remove_prefix(comma + 1);
  }
}

}  // namespace

bool ParseHttpsUrl(std::string_view text, HttpsUrl& out, std::string* why) {
  auto fail = [&](const char* what) {
    if (why) *why = what;
    return false;
  };
  for (const char c : text)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
      return fail("the URL holds a space, a control character or a byte outside ASCII");
  const size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return fail("not a URL: no scheme");
  if (!mail::EqualNoCase(text.substr(0, scheme), "https"))
    return fail("not an https URL: a token is never sent in clear");
  text.remove_prefix(scheme + 3);
  if (text.find('#') != std::string_view::npos) return fail("the URL has a fragment ('#')");
  const size_t end = text.find_first_of("/?");
  const std::string_view authority = text.substr(0, end);
  if (authority.find('@') != std::string_view::npos) return fail("the URL names a user ('@')");
  HttpsUrl parsed;
  uint16_t port = 0;
  if (const char* what = mail::ParseHostPort(authority, parsed.host, parsed.hostIsAddress, port))
    return fail(what);
  parsed.port = port != 0 ? port : 443;
  const std::string_view path = end == std::string_view::npos ? "" : text.substr(end);
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%') {
      if (i + 2 >= path.size() || !IsHex(path[i + 1]) || !IsHex(path[i + 2]))
        return fail("a '%' in the URL's path or query is not followed by two hex digits");
      i += 2;
    } else if (!IsPathChar(path[i])) {
      return fail("the URL's path or query holds a character a URL must percent-encode");
    }
  }
  // RFC 9112 3.2.1: an empty path is sent as "/".
  parsed.path = path.starts_with('/') ? std::string(path) : "/" + std::string(path);
  out = std::move(parsed);
  return true;
}

void PostRequest(const HttpsUrl& url, std::string_view form, mail::Secret& out) {
  const bool v6 = url.host.find(':') != std::string::npos;
  std::string head = "POST " + url.path + " HTTP/1.1\r\nHost: ";
  head += v6 ? "[" + url.host + "]" : url.host;
  if (url.port != 443) head += ":" + std::to_string(url.port);
  head +=
      "\r\nContent-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n"
      "Content-Length: " +
      std::to_string(form.size()) + "\r\nConnection: close\r\n\r\n";
  out.Clear();
  out.Append(head).Append(form);
}

AnswerReader::State AnswerReader::Fail(std::string why) {
  why_ = std::move(why);
  buffer_.Clear();
  answer_.body.Clear();
  return State::Bad;
}

AnswerReader::State AnswerReader::Feed(std::string_view bytes) {
  if (!why_.empty()) return State::Bad;
  while (!bytes.empty() && part_ != Part::Finished) {
    if (part_ == Part::Body || part_ == Part::ChunkData) {
      const size_t n = untilEnd_
                           ? bytes.size()
                           : static_cast<size_t>(std::min<uint64_t>(remaining_, bytes.size()));
      if (answer_.body.view().size() + n > kMaxBody)
        return Fail("the answer's body is larger than 1 MiB");
      answer_.body.Append(bytes.substr(0, n));
      bytes.remove_prefix(n);
      if (untilEnd_) continue;
      remaining_ -= n;
      if (remaining_ == 0) part_ = part_ == Part::Body ? Part::Finished : Part::ChunkEnd;
      continue;
    }
    // Every other part is read a line at a time. RFC 9112 2.2 lets a
    // recipient take a bare LF for a line's end.
    const size_t lf = bytes.find('\n');
    const size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
    if (overhead_ + take > kMaxHead)
      return Fail(part_ == Part::Head ? "the answer's head is larger than 64 KiB"
                                      : "the answer's chunk framing is larger than 64 KiB");
    overhead_ += take;
    if (lf == std::string_view::npos) {
      buffer_.Append(bytes);
      break;
    }
    std::string_view line = bytes.substr(0, lf);
    if (!buffer_.empty()) line = buffer_.Append(line).view();
    bytes.remove_prefix(lf + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const State state = Line(line);
    buffer_.Clear();
    if (state == State::Bad) return state;
  }
  return part_ == Part::Finished ? State::Done : State::More;
}

AnswerReader::State AnswerReader::End() {
  if (!why_.empty()) return State::Bad;
  if (part_ == Part::Finished) return State::Done;
  if (part_ == Part::Body && untilEnd_) {
    part_ = Part::Finished;
    return State::Done;
  }
  if (part_ == Part::Head && answer_.status == 0 && buffer_.empty() && overhead_ == 0)
    return Fail("the connection closed without an answer");
  return Fail(part_ == Part::Head ? "the connection closed in the middle of the answer's head"
                                  : "the connection closed before the answer's body was whole");
}

AnswerReader::State AnswerReader::Line(std::string_view line) {
  // RFC 9110 5.5: CR, LF and NUL have no place in a field; no other
  // control does in a head, a chunk's size line or a trailer.
  for (const char c : line)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
      return Fail("the answer's head holds a control character");
  switch (part_) {
    case Part::Head:
      if (answer_.status == 0) return StatusLine(line);
      return line.empty() ? HeadEnd() : Field(line);
    case Part::ChunkSize:
      return ChunkSize(line);
    case Part::ChunkEnd:
      if (!line.empty()) return Fail("a chunk of the answer is longer than its size says");
      part_ = Part::ChunkSize;
      return State::More;
    case Part::Trailer:
      // Trailer fields say nothing this client needs (RFC 9112 7.1.2).
      if (line.empty()) part_ = Part::Finished;
      return State::More;
    default:
      return State::More;
  }
}

AnswerReader::State AnswerReader::StatusLine(std::string_view line) {
  // RFC 9112 4: HTTP-version SP 3DIGIT SP [ reason-phrase ]; a missing
  // space before an empty reason is let pass.
  if (line.size() < 12 || !line.starts_with("HTTP/1.") || line[7] < '0' || line[7] > '9' ||
      line[8] != ' ')
    return Fail("the answer does not begin with an HTTP/1.x status line");
  int status = 0;
  for (size_t i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9') return Fail("the answer's status code is not 3 digits");
    status = status * 10 + (line[i] - '0');
  }
  if (line.size() > 12 && line[12] != ' ') return Fail("the answer's status code is not 3 digits");
  // RFC 9110 15: codes run from 100 to 599.
  if (status < 100 || status > 599) return Fail("the answer's status code is out of range");
  answer_.status = status;
  http10_ = line[7] == '0';
  return State::More;
}

AnswerReader::State AnswerReader::Field(std::string_view line) {
  // RFC 9112 5.2: a line folded onto the one before it is refused.
  if (IsSpace(line.front())) return Fail("the answer's head has a folded or indented line");
  const size_t colon = line.find(':');
  // RFC 9112 5.1: no space between a field's name and its colon.
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
    return Fail("the answer's head has a line that is no header field");
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = Trim(line.substr(colon + 1));
  if (mail::EqualNoCase(name, "Content-Length")) {
    const int64_t n = LengthValue(value);
    if (n == -2) return Fail("the answer's Content-Length says more than 1 MiB");
    if (n < 0 || (lengthKnown_ && remaining_ != static_cast<uint64_t>(n)))
      return Fail("the answer's Content-Length is not one number");
    lengthKnown_ = true;
    remaining_ = static_cast<uint64_t>(n);
  } else if (mail::EqualNoCase(name, "Transfer-Encoding")) {
    // No coding but chunked was asked for (no TE or Accept-Encoding), and
    // chunked twice, or over another coding, is no framing to trust.
    if (chunked_ || !mail::EqualNoCase(value, "chunked"))
      return Fail("the answer's Transfer-Encoding is not chunked alone");
    chunked_ = true;
  } else if (mail::EqualNoCase(name, "Content-Type")) {
    if (!answer_.contentType.empty() && answer_.contentType != value)
      return Fail("the answer has two Content-Types");
    answer_.contentType = value;
  }
  return State::More;
}

AnswerReader::State AnswerReader::HeadEnd() {
  const int status = answer_.status;
  if (status / 100 == 1) {
    // RFC 9110 15.2: interim answers come before the final one; a switch
    // of protocols was never asked for.
    if (status == 101) return Fail("the server switched protocols, which was not asked for");
    answer_.status = 0;
    answer_.contentType.clear();
    chunked_ = lengthKnown_ = false;
    remaining_ = 0;
    return State::More;
  }
  // RFC 9112 6.3, 2: these have no body, whatever the fields say.
  if (status == 204 || status == 304) {
    part_ = Part::Finished;
    return State::More;
  }
  // RFC 9112 6.1 lets Transfer-Encoding override Content-Length, but says
  // an answer with both "ought to be handled as an error": one of the two
  // was added or altered on the way, so which body is the server's cannot
  // be told. HTTP/1.0 has no chunked at all (6.3, 3).
  if (chunked_ && (lengthKnown_ || http10_))
    return Fail(lengthKnown_ ? "the answer has both Transfer-Encoding and Content-Length"
                             : "an HTTP/1.0 answer has a Transfer-Encoding");
  overhead_ = 0;
  if (chunked_) {
    part_ = Part::ChunkSize;
  } else {
    untilEnd_ = !lengthKnown_;
    part_ = untilEnd_ || remaining_ > 0 ? Part::Body : Part::Finished;
  }
  return State::More;
}

AnswerReader::State AnswerReader::ChunkSize(std::string_view line) {
  // RFC 9112 7.1: 1*HEXDIG, then extensions after ';', which are ignored.
  size_t i = 0;
  uint64_t size = 0;
  for (; i < line.size() && IsHex(line[i]); ++i) {
    size = size * 16 + HexValue(line[i]);
    if (answer_.body.view().size() + size > kMaxBody)
      return Fail("the answer's body is larger than 1 MiB");
  }
  const std::string_view rest = Trim(line.substr(i));
  if (i == 0 || (!rest.empty() && rest.front() != ';'))
    return Fail("the answer has a chunk size that is no hex number");
  remaining_ = size;
  part_ = size == 0 ? Part::Trailer : Part::ChunkData;
  return State::More;
}

namespace {

// Holds what was received, wiped when it goes: answers carry tokens.
struct ReceiveBuffer {
  char bytes[16 * 1024];
  ~ReceiveBuffer() { platform::Wipe(bytes, sizeof bytes); }
};

// A host and path that ParseHttpsUrl could have given: nothing that would
// end the request line or the Host field early.
bool IsSendable(const HttpsUrl& url) {
  if (url.host.empty() || !url.path.starts_with('/')) return false;
  for (const std::string* s : {&url.host, &url.path})
    for (const char c : *s)
      if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
        return false;
  return true;
}

class Https final : public Http {
 public:
  explicit Https(HttpsEnv env) : env_(std::move(env)) {}

  int PostForm(const HttpsUrl& url, std::string_view form, HttpAnswer& answer,
               std::string& why) override {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + env_.timeout;
    auto left = [&] {
      return std::max(Millis(0), std::chrono::duration_cast<Millis>(deadline - Clock::now()));
    };
    const std::string where = mail::Endpoint(url.host, url.port);
    if (!IsSendable(url)) {
      why = "the URL cannot be sent as it is";
      return VTL_SEND_BAD_ARGUMENT;
    }
    Network& network = env_.network ? *env_.network : platform::SystemNetwork();
    ConnectOutcome connected = network.Connect(url.host, url.port, left());
    if (connected.result != 0 || !connected.connection) {
      const int result = connected.result != 0 ? connected.result : VTL_SEND_CONNECT_FAILED;
      why = where + ": " + mail::ConnectFailure(result);
      if (!connected.detail.empty()) why += ": " + connected.detail;
      return result;
    }
    std::unique_ptr<Connection> connection = std::move(connected.connection);
    const TlsPeer peer =
        mail::PeerFor(url.host, url.hostIsAddress, url.port, left(), env_.caFile, env_.trustOption);
    std::string session;
    if (const int r = mail::StartTlsWith(env_.tls, connection, peer, session, why)) {
      why = where + ": " + why;
      return r;
    }

    auto stalled = [&] {
      why = "no answer from " + where + " within " + TimeText(env_.timeout);
      return VTL_SEND_DIALOGUE_FAILED;
    };
    auto broken = [&](const char* what) {
      why = where + ": " + what;
      return VTL_SEND_DIALOGUE_FAILED;
    };
    mail::Secret request;
    PostRequest(url, form, request);
    for (std::string_view rest = request.view(); !rest.empty();) {
      const Millis time = left();
      if (time <= Millis(0)) return stalled();
      const IoResult sent = connection->Send(rest.data(), rest.size(), time);
      if (sent.status == IoStatus::Ok)
        rest.remove_prefix(std::min(sent.bytes, rest.size()));
      else if (sent.status == IoStatus::TimedOut)
        return stalled();
      else if (sent.status != IoStatus::Interrupted)
        return broken("the connection broke while the request was sent");
    }

    AnswerReader reader;
    ReceiveBuffer buffer;
    AnswerReader::State state = AnswerReader::State::More;
    while (state == AnswerReader::State::More) {
      const Millis time = left();
      if (time <= Millis(0)) return stalled();
      const IoResult got = connection->Receive(buffer.bytes, sizeof buffer.bytes, time);
      if (got.status == IoStatus::Ok)
        state =
            reader.Feed(std::string_view(buffer.bytes, std::min(got.bytes, sizeof buffer.bytes)));
      else if (got.status == IoStatus::Closed)
        state = reader.End();
      else if (got.status == IoStatus::TimedOut)
        return stalled();
      else if (got.status != IoStatus::Interrupted)
        return broken("the connection broke while the answer came");
    }
    if (state == AnswerReader::State::Bad) {
      why = where + ": " + reader.Why();
      return VTL_SEND_DIALOGUE_FAILED;
    }
    HttpAnswer& got = reader.Answer();
    answer.status = got.status;
    answer.contentType = std::move(got.contentType);
    answer.body.Clear();
    answer.body.Append(got.body.view());
    return VTL_SEND_OK;
  }

 private:
  HttpsEnv env_;
};

}  // namespace

std::unique_ptr<Http> MakeHttps(HttpsEnv env) {
  return std::make_unique<Https>(std::move(env));
}

}  // namespace vtl::signin
