// TLS client connections on OpenSSL 3. OpenSSL never sees the socket: a BIO
// of our own hands every byte to the plain connection's Send and Receive,
// each bounded by the deadline of the call in progress. Interruptions and
// time-outs reach OpenSSL as "try again", so a session stays usable after
// them; Drive tells the two apart and retries only the first, within the
// deadline. Nothing here copies plaintext: SSL_write takes it straight from
// the caller's buffer.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace vtl::platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long close_notify may take to go out when a secured connection ends;
// the peer's own close_notify is never waited for.
constexpr Millis kCloseNotifyWait{1000};

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using ContextPtr = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Deleter<SSL_free>>;
using MethodPtr = std::unique_ptr<BIO_METHOD, Deleter<BIO_meth_free>>;

// OpenSSL's errors go to a queue of the calling thread. SSL_get_error reads
// it, so it must start empty; and it is emptied again on the way out, so
// that a host program that uses OpenSSL itself never finds ours there.
class ErrorQueueScope {
 public:
  ErrorQueueScope() { ERR_clear_error(); }
  ~ErrorQueueScope() { ERR_clear_error(); }
  ErrorQueueScope(const ErrorQueueScope&) = delete;
  ErrorQueueScope& operator=(const ErrorQueueScope&) = delete;
};

// The result for a handshake that did not complete: whether the
// certificate was refused, and why, is in the verify result.
int FailedHandshakeResult(long verifyResult) {
  if (verifyResult == X509_V_OK) return 8;  // it never came to the certificate, or it passed
  if (verifyResult == X509_V_ERR_OUT_OF_MEM) return 6;
  return 9;  // unknown issuer, self-signed, expired, not yet valid, another name, ...
}

// A client context trusting `caFile`'s roots, or the default paths when it
// is empty; null with 9 in `result` when no trust could be set up, or with
// 6 for want of memory.
ContextPtr NewContext(const std::string& caFile, int& result) {
  result = 6;
  ContextPtr context(SSL_CTX_new(TLS_client_method()));
  if (!context) return nullptr;
  SSL_CTX* ctx = context.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // A Send returns once a record is out, and one that must be tried again
  // may come from wherever the caller now keeps the rest of its data.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  // A CA file that cannot be read leaves nothing trusted: every
  // certificate would be refused, so none is asked for.
  const bool trusting =
      caFile.empty()
          ? SSL_CTX_set_default_verify_paths(ctx) == 1  // honours SSL_CERT_FILE, SSL_CERT_DIR
          : caFile.find('\0') == std::string::npos &&
                SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) == 1;
  result = trusting ? 0 : 9;
  return trusting ? std::move(context) : nullptr;
}

// Making a context reads the whole trust store (Debian's bundle holds some
// 150 certificates, and its directory is listed), which costs a send more
// than its handshake. So the last one made is shared by the sends that
// trust the same roots, for ten minutes at most: a CA added to the store
// counts from the send after that. A shared context is only read.
ContextPtr SharedContext(const std::string& caFile, int& result) {
  constexpr auto kReuseFor = std::chrono::minutes(10);
  struct Cache {
    std::mutex mutex;
    std::string key;
    ContextPtr context;
    Clock::time_point made;
  };
  // OpenSSL is started first, so that its clean-up at exit, registered
  // then, runs after the cache (registered next) has let its context go.
  if (OPENSSL_init_ssl(0, nullptr) != 1) {
    result = 6;
    return nullptr;
  }
  static Cache cache;
  auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  // The default paths move with these variables.
  std::string key = caFile;
  key.append(1, '\0').append(variable(X509_get_default_cert_file_env()));
  key.append(1, '\0').append(variable(X509_get_default_cert_dir_env()));
  const std::lock_guard lock(cache.mutex);
  const auto now = Clock::now();
  if (!cache.context || cache.key != key || now - cache.made >= kReuseFor) {
    cache.context.reset();
    cache.context = NewContext(caFile, result);
    if (!cache.context) return nullptr;
    cache.key = std::move(key);
    cache.made = now;
  }
  result = 0;
  SSL_CTX_up_ref(cache.context.get());
  return ContextPtr(cache.context.get());
}

class TlsConnection final : public Connection {
 public:
  explicit TlsConnection(std::unique_ptr<Connection> plain) : plain_(std::move(plain)) {}
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  // Sends close_notify once, giving it a moment to go out, unless the
  // session broke: OpenSSL must not be asked to shut down after a fatal
  // error.
  ~TlsConnection() override {
    if (!secured_ || broken_) return;
    Drive(kCloseNotifyWait, [this](size_t&) {
      // 0: sent, the peer's not yet seen; 1: both sent; < 0: the send must be tried again.
      const int r = SSL_shutdown(ssl_.get());
      return r < 0 ? r : 1;
    });
  }

  // The handshake: 0 secured, else the StartTls result.
  int Handshake(const TlsPeer& peer) {
    int result = 0;
    const ContextPtr context = SharedContext(peer.caFile, result);
    if (!context) return result;
    SSL_CTX* ctx = context.get();

    method_.reset(BIO_meth_new(BIO_TYPE_SOURCE_SINK, "vtl connection"));
    if (!method_ || BIO_meth_set_write_ex(method_.get(), Transfer<true, const char*>) != 1 ||
        BIO_meth_set_read_ex(method_.get(), Transfer<false, char*>) != 1 ||
        BIO_meth_set_ctrl(method_.get(), Control) != 1)
      return 6;
    ssl_.reset(SSL_new(ctx));  // holds its own reference to the context
    if (!ssl_) return 6;
    BIO* bio = BIO_new(method_.get());
    if (bio == nullptr) return 6;
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_.get(), bio, bio);  // the session owns the BIO from here

    // A name that cannot be checked matches no certificate. An empty one
    // would turn the check off altogether.
    const std::string& host = peer.host;
    if (host.empty() || host.find('\0') != std::string::npos) return 9;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_.get());
    // Only subjectAltName entries identify the server: RFC 9525 (section
    // 6.3) took the subject's common name out of the check.
    X509_VERIFY_PARAM_set_hostflags(
        param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (peer.hostIsAddress) {
      // An address is never sent as SNI (RFC 6066, section 3).
      if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) return 9;
    } else if (SSL_set1_host(ssl_.get(), host.c_str()) != 1 ||
               SSL_set_tlsext_host_name(ssl_.get(), host.c_str()) != 1) {
      return 8;  // no memory, or a name too long for SNI, which no DNS name is
    }

    const IoResult r = Drive(peer.timeout, [this](size_t&) { return SSL_connect(ssl_.get()); });
    const long verified = SSL_get_verify_result(ssl_.get());
    if (r.status != IoStatus::Ok) return FailedHandshakeResult(verified);
    if (verified != X509_V_OK || SSL_get0_peer_certificate(ssl_.get()) == nullptr) return 9;
    secured_ = true;
    return 0;
  }

  IoResult Send(const char* data, size_t size, Millis timeout) override {
    if (size == 0) return {IoStatus::Ok, 0};
    return Drive(timeout,
                 [&](size_t& written) { return SSL_write_ex(ssl_.get(), data, size, &written); });
  }

  // Closed on the peer's close_notify or on the end of the stream without it.
  IoResult Receive(char* buffer, size_t size, Millis timeout) override {
    if (size == 0) return {IoStatus::Ok, 0};
    return Drive(timeout,
                 [&](size_t& read) { return SSL_read_ex(ssl_.get(), buffer, size, &read); });
  }

  // The decrypted bytes waiting in the session. Bytes still encrypted in
  // the plain connection are not counted: they may be nothing but a
  // session ticket.
  size_t Unread() override {
    const int pending = SSL_pending(ssl_.get());
    return pending > 0 ? static_cast<size_t>(pending) : 0;
  }

  std::string LocalAddressLiteral() override { return plain_->LocalAddressLiteral(); }

 private:
  // Runs one OpenSSL call (which returns > 0 when done) until it is done,
  // fails, or the time-out runs out. An interruption of the plain
  // connection is tried again within the deadline.
  template <class Call>
  IoResult Drive(Millis timeout, Call call) {
    if (broken_) return {IoStatus::Failed, 0};
    const ErrorQueueScope errors;
    deadline_ = Clock::now() + timeout;
    for (;;) {
      ERR_clear_error();
      last_ = IoStatus::Ok;
      size_t moved = 0;
      const int r = call(moved);
      if (r > 0) return {IoStatus::Ok, moved};
      switch (SSL_get_error(ssl_.get(), r)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
          if (last_ == IoStatus::TimedOut || Clock::now() >= deadline_)
            return {IoStatus::TimedOut, 0};
          continue;
        case SSL_ERROR_ZERO_RETURN:
          return {IoStatus::Closed, 0};
        default:
          broken_ = true;
          return {last_ == IoStatus::Closed ? IoStatus::Closed : IoStatus::Failed, 0};
      }
    }
  }

  // The BIO's read and write: one call of the plain connection with what
  // is left of the deadline. 1 when bytes moved; 0 otherwise, marked to be
  // tried again for an interruption or a time-out, as the end of the stream
  // when the peer closed, and as an error for anything else.
  template <bool kWrite, class Buffer>
  static int Transfer(BIO* bio, Buffer data, size_t size, size_t* moved) {
    auto& self = *static_cast<TlsConnection*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    *moved = 0;
    const auto left = std::chrono::ceil<Millis>(self.deadline_ - Clock::now());
    IoResult r{IoStatus::TimedOut, 0};
    if (left > Millis::zero()) {
      if constexpr (kWrite)
        r = self.plain_->Send(data, size, left);
      else
        r = self.plain_->Receive(data, size, left);
    }
    if (r.status == IoStatus::Ok && (r.bytes == 0 || r.bytes > size)) r.status = IoStatus::Failed;
    self.last_ = r.status;
    if (r.status == IoStatus::Ok) {
      *moved = r.bytes;
      return 1;
    }
    if (r.status == IoStatus::Interrupted || r.status == IoStatus::TimedOut) {
      if constexpr (kWrite)
        BIO_set_retry_write(bio);
      else
        BIO_set_retry_read(bio);
    }
    return 0;
  }

  static long Control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

  // Destroyed in reverse: the session (and its BIO) before the BIO method,
  // both before the plain connection.
  std::unique_ptr<Connection> plain_;
  MethodPtr method_;
  SslPtr ssl_;
  Clock::time_point deadline_;    // of the OpenSSL call in progress
  IoStatus last_ = IoStatus::Ok;  // what the plain connection last said
  bool secured_ = false;          // the handshake completed
  bool broken_ = false;           // a fatal error: no more I/O, no close_notify
};

}  // namespace

void SkipTlsCleanupAtExit() {
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}

TlsOutcome StartTls(std::unique_ptr<Connection> plain, const TlsPeer& peer) {
  TlsOutcome outcome;
  std::unique_ptr<TlsConnection> tls;
  try {
    tls = std::make_unique<TlsConnection>(std::move(plain));
  } catch (const std::bad_alloc&) {
    outcome.result = 6;
    return outcome;
  }
  const ErrorQueueScope errors;
  outcome.result = tls->Handshake(peer);
  if (outcome.result == 0) outcome.connection = std::move(tls);
  return outcome;
}

}  // namespace vtl::platform
