// TLS client connections on OpenSSL 3. OpenSSL never sees the socket: a BIO
// of our own hands every byte to the plain connection's Send and Receive,
// each bounded by the deadline of the call in progress. Interruptions and
// time-outs reach OpenSSL as "try again", so a session stays usable after
// them; Drive tells the two apart and retries only the first, within the
// deadline. Nothing here copies plaintext: SSL_write takes it straight from
// the caller's buffer.
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/tls_words.h"

namespace vtl::platform {
namespace {

using namespace tls_words;

using Clock = std::chrono::steady_clock;

// Only subjectAltName entries identify the server: RFC 9525 (section 6.3)
// took the subject's common name out of the check.
constexpr unsigned kHostFlags =
    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT;

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
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using AltNamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;
using SessionPtr = std::unique_ptr<SSL_SESSION, Deleter<SSL_SESSION_free>>;

// A distinguished name as RFC 4514 writes it, most specific first
// ("CN=host, O=Org"), with ", " between its parts as CryptoAPI puts them.
std::string NameText(const X509_NAME* name) {
  constexpr unsigned long kFlags =
      (XN_FLAG_RFC2253 & ~XN_FLAG_SEP_MASK & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC;
  const BioPtr bio(BIO_new(BIO_s_mem()));
  char* data = nullptr;
  if (!bio || name == nullptr || X509_NAME_print_ex(bio.get(), name, 0, kFlags) < 0)
    return "(no name)";
  const long size = BIO_get_mem_data(bio.get(), &data);
  std::string out;
  AppendPrintable(out, std::string_view(data, size > 0 ? static_cast<size_t>(size) : 0));
  return out.empty() ? "(no name)" : out;
}

// YYYY-MM-DD, in UTC.
std::string DateText(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return "(no date)";
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

// The DNS names and addresses of the certificate's subjectAltName, the
// first few; empty when it has none.
std::string ServerNames(const X509* cert) {
  const AltNamesPtr names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  NameList out;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    std::string one;
    if (name->type == GEN_DNS) {
      const ASN1_STRING* dns = name->d.dNSName;
      AppendPrintable(one,
                      std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                       static_cast<size_t>(ASN1_STRING_length(dns))),
                      64);
    } else if (name->type == GEN_IPADD) {
      const ASN1_STRING* ip = name->d.iPAddress;
      const int length = ASN1_STRING_length(ip);
      char text[INET6_ADDRSTRLEN] = "";
      if ((length != 4 && length != 16) ||
          inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), text,
                    sizeof text) == nullptr)
        continue;
      one = text;
    } else {
      continue;
    }
    if (!out.Add(one)) break;
  }
  return std::move(out.text());
}

std::string UntrustedIssuer(const X509_NAME* issuer, std::string_view trustOption) {
  return "the certificate's issuer is not trusted: " + NameText(issuer) +
         UntrustedIssuerHint(trustOption);
}

// Why the chain of `cert`, found wanting at `depth` of it (0: the server's
// own certificate), or `leaf` is not trusted for `peer`.
std::string CertificateFault(long code, int depth, const X509* cert, const X509* leaf,
                             const TlsPeer& peer) {
  const std::string& host = peer.host;
  if (cert == nullptr) cert = leaf;
  if (cert == nullptr || leaf == nullptr)
    return "the certificate is not trusted: " + std::string(X509_verify_cert_error_string(code));
  const std::string which = depth > 0
                                ? "the CA certificate " + NameText(X509_get_subject_name(cert))
                                : std::string("the certificate");
  switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return which + " expired on " + DateText(X509_get0_notAfter(cert));
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return which + " is not valid until " + DateText(X509_get0_notBefore(cert));
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: {
      const std::string names = ServerNames(leaf);
      if (names.empty()) return std::string(kCnOnly);
      std::string out = "the certificate is for " + names + ", not ";
      AppendPrintable(out, host, 64);
      return out;
    }
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return "the certificate is self-signed" + SelfSignedHint(peer.trustOption);
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return UntrustedIssuer(X509_get_subject_name(cert), peer.trustOption);
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      // A CA certificate the server sent whose issuer is nowhere: a root
      // not trusted here. The server's own: most often the server left out
      // the intermediate, but its issuer may be a root as well.
      if (depth > 0) return UntrustedIssuer(X509_get_issuer_name(cert), peer.trustOption);
      return "the chain is incomplete: the server did not send the intermediate CA " +
             NameText(X509_get_issuer_name(cert)) + ", or that CA is not trusted";
    case X509_V_ERR_INVALID_PURPOSE:
      return which + " is not for a TLS server (its extended key usage)";
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return "a signature in the chain does not verify";
    case X509_V_ERR_CERT_REVOKED:
      return which + " is revoked";
    default:
      return "the certificate is not trusted: " + std::string(X509_verify_cert_error_string(code));
  }
}

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

int KeepNewSession(SSL* ssl, SSL_SESSION* session);

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
  // Each new session is handed to KeepNewSession; OpenSSL keeps none itself.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, KeepNewSession);
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

// What the sends of the process share. Making a context reads the whole
// trust store (Debian's bundle holds some 150 certificates, and its
// directory is listed), which costs a send more than its handshake. So the
// last one made is shared by the sends that trust the same roots: the same
// files and directories, each unchanged since (TrustKey), for ten minutes
// at most. A CA file or bundle rewritten counts from the next send; a
// certificate rewritten inside a directory, which leaves the directory as
// it was, from ten minutes later. A shared context is only read.
// Beside it, the sessions of servers whose certificates it verified, to be
// resumed (an abbreviated handshake) by the next send to the same server:
// one for each host name or address as checked and port, the
// kSessionsKept last. They belong to that context alone and go with it, so
// none is offered once what it was verified with has changed or aged.
struct Shared {
  std::mutex mutex;
  std::string trust;  // what the context trusts, and how it was: TrustKey
  ContextPtr context;
  Clock::time_point made;
  struct Kept {
    std::string server;  // SessionKey
    SessionPtr session;
  };
  std::vector<Kept> sessions;  // oldest first
  pid_t process = 0;           // whose sessions they are
};
constexpr size_t kSessionsKept = 32;

// Null when OpenSSL cannot be started.
Shared* SharedState() {
  // OpenSSL is started first, so that its clean-up at exit, registered
  // then, runs after the state (registered next) has let its context and
  // sessions go.
  if (OPENSSL_init_ssl(0, nullptr) != 1) return nullptr;
  static Shared shared;
  return &shared;
}

// The sessions of `shared`, under its lock, once they are known to be this
// process's: a child of fork starts without its parent's, whose TLS 1.3
// tickets the parent may use as well (each is for one handshake).
std::vector<Shared::Kept>& Sessions(Shared& shared) {
  if (const pid_t self = getpid(); shared.process != self) {
    shared.sessions.clear();
    shared.process = self;
  }
  return shared.sessions;
}

// A file's or a directory's name with what tells that it was replaced or
// rewritten since: its device and inode, its size, and the times it was
// modified and changed to the nanosecond; or that it is not there.
std::string PathState(const std::string& path) {
  struct stat st {};
  std::string state = path;
  if (path.find('\0') != std::string::npos || stat(path.c_str(), &st) != 0) return state + " -";
  for (const long long n :
       {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
        static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
        static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
        static_cast<long long>(st.st_ctim.tv_nsec)})
    state.append(" ").append(std::to_string(n));
  return state;
}

// What a context made now would trust: the CA file, or the default file
// and directories (SSL_CERT_FILE and SSL_CERT_DIR where set, which may
// list several), each with its state. A stat each, every send: far less
// than reading them.
std::string TrustKey(const std::string& caFile) {
  if (!caFile.empty()) return "file " + PathState(caFile);
  auto variable = [](const char* name, const char* otherwise) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : otherwise);
  };
  std::string key = "default " + PathState(variable(X509_get_default_cert_file_env(),
                                                    X509_get_default_cert_file()));
  const std::string dirs = variable(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
  for (size_t at = 0; at <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', at), dirs.size());
    key.append(1, '\0').append(PathState(dirs.substr(at, end - at)));
    at = end + 1;
  }
  return key;
}

ContextPtr SharedContext(const std::string& caFile, int& result) {
  constexpr auto kReuseFor = std::chrono::minutes(10);
  Shared* shared = SharedState();
  if (shared == nullptr) {
    result = 6;
    return nullptr;
  }
  std::string trust = TrustKey(caFile);
  const std::lock_guard lock(shared->mutex);
  const auto now = Clock::now();
  if (!shared->context || shared->trust != trust || now - shared->made >= kReuseFor) {
    shared->sessions.clear();
    shared->context.reset();
    shared->context = NewContext(caFile, result);
    if (!shared->context) return nullptr;
    shared->trust = std::move(trust);
    shared->made = now;
  }
  result = 0;
  SSL_CTX_up_ref(shared->context.get());
  return ContextPtr(shared->context.get());
}

// The server a session is kept for, beside the context: the name or
// address as the certificate was checked against it, and the port.
std::string SessionKey(const TlsPeer& peer) {
  return (peer.hostIsAddress ? "address " : "name ") + peer.host + " port " +
         std::to_string(peer.port);
}

// A session to offer to `server` under `ctx`, null when none is kept or
// `ctx` is no longer the shared one. A TLS 1.3 session (a ticket) is given
// out once, as RFC 8446 (appendix C.4) wants; a TLS 1.2 one stays for the
// next.
SessionPtr TakeSession(const SSL_CTX* ctx, const std::string& server) {
  Shared& shared = *SharedState();  // there: ctx came from it
  const std::lock_guard lock(shared.mutex);
  auto& sessions = Sessions(shared);
  const auto kept = std::find_if(sessions.begin(), sessions.end(),
                                 [&](const Shared::Kept& k) { return k.server == server; });
  if (shared.context.get() != ctx || kept == sessions.end()) return nullptr;
  SSL_SESSION* session = kept->session.get();
  const bool usable =
      SSL_SESSION_is_resumable(session) == 1 &&
      SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session) > std::time(nullptr);
  if (usable && SSL_SESSION_get_protocol_version(session) != TLS1_3_VERSION &&
      SSL_SESSION_up_ref(session) == 1)
    return SessionPtr(session);
  SessionPtr taken = std::move(kept->session);
  sessions.erase(kept);
  return usable ? std::move(taken) : nullptr;
}

// Keeps `session` for `server`, in place of the one kept before, unless
// `ctx` is no longer the shared one. Best effort: without the memory for
// it, the session is let go.
void KeepSession(const SSL_CTX* ctx, const std::string& server, SessionPtr session) noexcept {
  Shared& shared = *SharedState();
  const std::lock_guard lock(shared.mutex);
  auto& sessions = Sessions(shared);
  if (shared.context.get() != ctx) return;
  std::erase_if(sessions, [&](const Shared::Kept& k) { return k.server == server; });
  if (sessions.size() >= kSessionsKept) sessions.erase(sessions.begin());
  try {
    sessions.push_back({server, std::move(session)});
  } catch (const std::bad_alloc&) {
  }
}

// Lets go of `session` for `server` when it is still the one kept: a
// handshake that offered it failed.
void DropSession(const std::string& server, const SSL_SESSION* session) {
  Shared& shared = *SharedState();
  const std::lock_guard lock(shared.mutex);
  std::erase_if(Sessions(shared), [&](const Shared::Kept& k) {
    return k.server == server && k.session.get() == session;
  });
}

// What a resumed session's certificate, verified in the handshake that
// made the session, is found wanting for `peer` now; X509_V_OK when
// nothing. A session is only offered to the server it was kept for, so
// this holds unless the certificate expired since.
long ResumedFault(X509* leaf, const TlsPeer& peer) {
  const std::string& host = peer.host;
  const int named = peer.hostIsAddress
                        ? X509_check_ip_asc(leaf, host.c_str(), 0)
                        : X509_check_host(leaf, host.data(), host.size(), kHostFlags, nullptr);
  if (named != 1)
    return peer.hostIsAddress ? X509_V_ERR_IP_ADDRESS_MISMATCH : X509_V_ERR_HOSTNAME_MISMATCH;
  if (X509_cmp_current_time(X509_get0_notAfter(leaf)) <= 0) return X509_V_ERR_CERT_HAS_EXPIRED;
  return X509_V_OK;
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

  // The handshake: 0 secured, else the StartTls result; `detail` says why
  // in words, or what was set up.
  int Handshake(const TlsPeer& peer, std::string& detail) {
    int result = 0;
    const ContextPtr context = SharedContext(peer.caFile, result);
    if (!context) {
      if (result == 9)
        detail = peer.caFile.empty() ? "the system's trusted certificates cannot be read"
                                     : "the CA file cannot be read or holds no certificate";
      return result;
    }
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
    // The callbacks only take note of what went wrong; the verdict stays
    // OpenSSL's own.
    SSL_set_app_data(ssl_.get(), this);
    SSL_set_verify(ssl_.get(), SSL_VERIFY_PEER, NoteVerifyError);
    SSL_set_info_callback(ssl_.get(), NoteAlert);

    // A name that cannot be checked matches no certificate. An empty one
    // would turn the check off altogether.
    const std::string& host = peer.host;
    if (host.empty() || host.find('\0') != std::string::npos) {
      detail = "no host name to check the certificate against";
      return 9;
    }
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_.get());
    X509_VERIFY_PARAM_set_hostflags(param, kHostFlags);
    if (peer.hostIsAddress) {
      // An address is never sent as SNI (RFC 6066, section 3).
      if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
        detail = "the address cannot be checked against the certificate";
        return 9;
      }
    } else if (SSL_set1_host(ssl_.get(), host.c_str()) != 1 ||
               SSL_set_tlsext_host_name(ssl_.get(), host.c_str()) != 1) {
      detail = "the host name cannot be sent for TLS (SNI)";
      return 8;  // no memory, or a name too long for SNI, which no DNS name is
    }

    // A session kept from the last handshake with this very server, to
    // resume. The server may take it or not; a session it takes brings the
    // certificate verified when the session was made.
    server_ = SessionKey(peer);
    SessionPtr offered = TakeSession(ctx, server_);
    if (offered && SSL_set_session(ssl_.get(), offered.get()) != 1) offered.reset();

    const IoResult r = Drive(peer.timeout, [this](size_t&) { return SSL_connect(ssl_.get()); });
    result = Verdict(peer, r, detail);
    if (result == 0 && made_) KeepSession(ctx, server_, std::move(made_));
    if (result != 0 && offered) DropSession(server_, offered.get());
    made_.reset();
    return result;
  }

  // A session OpenSSL made: under TLS 1.2 in the handshake, kept once the
  // handshake passed; under TLS 1.3 a ticket the server sent after it. The
  // connection takes it over.
  void NewSession(SSL_SESSION* session) noexcept {
    SessionPtr owned(session);
    if (broken_) return;
    if (secured_)
      KeepSession(SSL_get_SSL_CTX(ssl_.get()), server_, std::move(owned));
    else
      made_ = std::move(owned);
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
  // The handshake's outcome, as Handshake returns it.
  int Verdict(const TlsPeer& peer, IoResult r, std::string& detail) {
    long verified = SSL_get_verify_result(ssl_.get());
    if (verified == X509_V_OK) verified = verifyError_;
    X509* leaf = SSL_get0_peer_certificate(ssl_.get());
    if (verified != X509_V_OK) {
      detail = CertificateFault(verified, verifyDepth_, verifyCert_.get(), verifyLeaf_.get(), peer);
      return r.status != IoStatus::Ok ? FailedHandshakeResult(verified) : 9;
    }
    if (r.status != IoStatus::Ok) {
      detail = HandshakeFault(r.status, peer.timeout);
      return 8;
    }
    if (leaf == nullptr) {
      detail = "the server sent no certificate";
      return 9;
    }
    const bool resumed = SSL_session_reused(ssl_.get()) == 1;
    if (const long fault = resumed ? ResumedFault(leaf, peer) : X509_V_OK; fault != X509_V_OK) {
      detail = CertificateFault(fault, 0, leaf, leaf, peer);
      return 9;
    }
    secured_ = true;
    detail = SSL_get_version(ssl_.get());
    if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_.get()))
      detail.append(" ").append(SSL_CIPHER_standard_name(cipher));
    detail += "; certificate " + NameText(X509_get_subject_name(leaf)) + ", issued by " +
              NameText(X509_get_issuer_name(leaf));
    if (resumed) detail += "; session resumed";
    return 0;
  }

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
          // The queue is emptied on the way out: what the handshake's
          // failure is put down to is kept.
          error_ = ERR_peek_last_error();
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
      if constexpr (!kWrite) {
        for (size_t i = 0; i < r.bytes && self.firstSize_ < sizeof self.first_; ++i)
          self.first_[self.firstSize_++] = data[i];
      }
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

  // The first error of the chain, where in it, and the certificate there.
  static int NoteVerifyError(int ok, X509_STORE_CTX* store) {
    const auto* ssl = static_cast<const SSL*>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl != nullptr ? static_cast<TlsConnection*>(SSL_get_app_data(ssl)) : nullptr;
    if (ok != 1 && self != nullptr && self->verifyError_ == X509_V_OK) {
      self->verifyError_ = X509_STORE_CTX_get_error(store);
      self->verifyDepth_ = X509_STORE_CTX_get_error_depth(store);
      X509* cert = X509_STORE_CTX_get_current_cert(store);
      if (cert != nullptr && X509_up_ref(cert) == 1) self->verifyCert_.reset(cert);
      // The session keeps the server's certificate only once it passed.
      X509* leaf = X509_STORE_CTX_get0_cert(store);
      if (leaf != nullptr && X509_up_ref(leaf) == 1) self->verifyLeaf_.reset(leaf);
    }
    return ok;
  }

  // The first alert the server sent.
  static void NoteAlert(const SSL* ssl, int where, int value) {
    auto* self = static_cast<TlsConnection*>(SSL_get_app_data(ssl));
    if ((where & SSL_CB_READ_ALERT) != 0 && self != nullptr && self->alert_ < 0)
      self->alert_ = value & 0xFF;
  }

  // Why a handshake that never came to a verdict on the certificate failed.
  std::string HandshakeFault(IoStatus status, Millis timeout) const {
    if (!LooksLikeTls(std::string_view(first_, firstSize_))) return std::string(kClearText);
    if (alert_ >= 0) return AlertFault(alert_);
    if (status == IoStatus::TimedOut)
      return (firstSize_ == 0 ? "no reply to the TLS handshake within "
                              : "the TLS handshake did not finish within ") +
             TimeText(timeout);
    if (status == IoStatus::Closed) return std::string(kClosed);
    if (last_ == IoStatus::Failed) return "the connection failed during the handshake";
    // Clear text was told by the first bytes: a "wrong version number" left
    // for here is a malformed record, and keeps OpenSSL's words below.
    if (ERR_GET_LIB(error_) == ERR_LIB_SSL) {
      switch (ERR_GET_REASON(error_)) {
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_WRONG_SSL_VERSION:
          return std::string(kOldProtocol);
        case SSL_R_NO_CIPHERS_AVAILABLE:
        case SSL_R_NO_SHARED_CIPHER:
          return std::string(kNoCommonCipher);
        default:
          break;
      }
    }
    std::string out = "the handshake failed";
    if (const char* reason = ERR_reason_error_string(error_)) {
      out += ": ";
      AppendPrintable(out, reason);
    }
    return out;
  }

  // Destroyed in reverse: the session (and its BIO) before the BIO method,
  // both before the plain connection.
  std::unique_ptr<Connection> plain_;
  MethodPtr method_;
  SslPtr ssl_;
  Clock::time_point deadline_;    // of the OpenSSL call in progress
  IoStatus last_ = IoStatus::Ok;  // what the plain connection last said
  bool secured_ = false;          // the handshake completed
  bool broken_ = false;           // a fatal error: no more I/O, no close_notify
  // For the words of a failed handshake:
  char first_[5] = {};  // the server's first bytes (a record header), firstSize_ of them
  size_t firstSize_ = 0;
  int alert_ = -1;                // the first alert the server sent
  unsigned long error_ = 0;       // OpenSSL's error when the session broke
  long verifyError_ = X509_V_OK;  // the first fault of the chain
  int verifyDepth_ = 0;           // where in the chain: 0 the server's certificate
  X509Ptr verifyCert_;            // the certificate there
  X509Ptr verifyLeaf_;            // the server's certificate
  // Sessions:
  std::string server_;  // what they are kept for (SessionKey)
  SessionPtr made_;     // the one made in the handshake, until it passed
};

int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* connection = static_cast<TlsConnection*>(SSL_get_app_data(ssl));
  if (connection == nullptr) return 0;  // OpenSSL lets go of it
  connection->NewSession(session);
  return 1;
}

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
  try {
    outcome.result = tls->Handshake(peer, outcome.detail);
  } catch (const std::bad_alloc&) {
    outcome.detail.clear();
    outcome.result = 6;
    return outcome;
  }
  if (outcome.result == 0) outcome.connection = std::move(tls);
  return outcome;
}

}  // namespace vtl::platform
