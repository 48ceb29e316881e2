// TLS client connections on SChannel, through SSPI. Every byte of the
// handshake, of the records and of close_notify goes through the wrapped
// connection. SChannel is told to leave the server's certificate alone; it
// is checked here once the handshake is done, with CryptoAPI's chain engine
// and SSL policy, and for an address host against the certificate's IP
// address entries. A TLS 1.2 renegotiation, which could bring another
// certificate after that check, is refused.
// For CERT_CHAIN_PARA's time-out of fetches (Windows Vista on).
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "platform/win/tls.h"
// (after windows.h)
#include <wincrypt.h>
// (after security.h's SECURITY_WIN32)
#include <schannel.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
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

constexpr int kSecured = 0;
constexpr int kNoMemory = 6;
constexpr int kNoTls = 8;
constexpr int kUntrusted = 9;

// SCH_CREDENTIALS (Windows 10 1809 and later), which alone can enable TLS
// 1.3; the headers offer it only to newer targets. Layouts as documented.
struct TlsParameters {
  DWORD cAlpnIds;
  void* rgstrAlpnIds;
  DWORD grbitDisabledProtocols;
  DWORD cDisabledCrypto;
  void* pDisabledCrypto;
  DWORD dwFlags;
};
struct SchCredentials {
  DWORD dwVersion;
  DWORD dwCredFormat;
  DWORD cCreds;
  PCCERT_CONTEXT* paCred;
  HCERTSTORE hRootStore;
  DWORD cMappers;
  void** aphMappers;
  DWORD dwSessionLifespan;
  DWORD dwFlags;
  DWORD cTlsParameters;
  TlsParameters* pTlsParameters;
};
constexpr DWORD kSchCredentialsVersion = 5;

constexpr DWORD kBelowTls12 =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
constexpr DWORD kCredFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION;

// The content type of a TLS 1.2 alert record (RFC 5246 6.2.1).
constexpr char kAlertRecord = 21;
// The most a handshake may hold back unprocessed.
constexpr size_t kMaxHandshakeBuffer = size_t{1} << 20;
// How long destruction may spend sending close_notify.
constexpr Millis kCloseNotifyTime{1000};
// The most records in a row that may decrypt to nothing (OpenSSL allows as
// many): beyond them the peer only holds the reader up.
constexpr int kMaxEmptyRecords = 32;

struct FreeCert {
  void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
struct CloseStore {
  void operator()(void* s) const { CertCloseStore(s, 0); }
};
struct FreeChain {
  void operator()(const CERT_CHAIN_CONTEXT* c) const { CertFreeCertificateChain(c); }
};
struct FreeEngine {
  void operator()(void* e) const { CertFreeCertificateChainEngine(e); }
};
struct FreeSspiBuffer {
  const SecurityFunctionTableW* sspi;
  void operator()(void* p) const { sspi->FreeContextBuffer(p); }
};
struct FreeLocal {
  void operator()(void* p) const { LocalFree(p); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, FreeCert>;
using StorePtr = std::unique_ptr<void, CloseStore>;
using ChainPtr = std::unique_ptr<const CERT_CHAIN_CONTEXT, FreeChain>;
using EnginePtr = std::unique_ptr<void, FreeEngine>;
using SspiBuffer = std::unique_ptr<void, FreeSspiBuffer>;

// SSPI, loaded for a connection and let go after it, unless a table is
// given. Not imported: Wine's secur32.dll starts Windows Sockets when it is
// loaded, which a process that never asks for TLS should not see.
class Sspi {
 public:
  explicit Sspi(const SecurityFunctionTableW* given) : table_(given) {
    if (table_ != nullptr) return;
    wchar_t path[MAX_PATH];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH - 16);
    if (n == 0 || n >= MAX_PATH - 16) return;
    std::wcscpy(path + n, L"\\secur32.dll");
    library_ = LoadLibraryW(path);
    if (library_ == nullptr) return;
    const auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
        reinterpret_cast<void (*)()>(GetProcAddress(library_, SECURITY_ENTRYPOINT_ANSIW)));
    if (init != nullptr) table_ = init();
  }
  Sspi(const Sspi&) = delete;
  Sspi& operator=(const Sspi&) = delete;
  ~Sspi() {
    if (library_ != nullptr) FreeLibrary(library_);
  }
  // Null when SSPI could not be had.
  const SecurityFunctionTableW* table() const { return table_; }

 private:
  HMODULE library_ = nullptr;
  const SecurityFunctionTableW* table_ = nullptr;
};

class Credentials {
 public:
  explicit Credentials(const SecurityFunctionTableW* sspi) : sspi_(sspi) {}
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
  ~Credentials() {
    if (valid_) sspi_->FreeCredentialsHandle(&handle_);
  }
  // TLS 1.2 or later, no client certificate, no check of the server's:
  // SCH_CREDENTIALS where the system has it (TLS 1.3 too), else
  // SCHANNEL_CRED, which stops at TLS 1.2. Wine takes SCH_CREDENTIALS but
  // not its disabled protocols, and would offer TLS 1.0 and 1.1: what the
  // credentials say they support tells.
  SECURITY_STATUS Acquire() {
    TlsParameters parameters{};
    parameters.grbitDisabledProtocols = kBelowTls12;
    SchCredentials modern{};
    modern.dwVersion = kSchCredentialsVersion;
    modern.dwFlags = kCredFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SECURITY_STATUS s = AcquireWith(&modern);
    if (s == SEC_E_INSUFFICIENT_MEMORY) return s;
    if (s == SEC_E_OK) {
      SecPkgCred_SupportedProtocols supported{};
      if (sspi_->QueryCredentialsAttributesW(&handle_, SECPKG_ATTR_SUPPORTED_PROTOCOLS,
                                             &supported) != SEC_E_OK ||
          (supported.grbitProtocol & kBelowTls12) == 0)
        return s;
      sspi_->FreeCredentialsHandle(&handle_);
      valid_ = false;
    }
    SCHANNEL_CRED legacy{};
    legacy.dwVersion = SCHANNEL_CRED_VERSION;
    legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    legacy.dwFlags = kCredFlags;
    return AcquireWith(&legacy);
  }
  CredHandle* get() { return &handle_; }

 private:
  SECURITY_STATUS AcquireWith(void* authData) {
    const SECURITY_STATUS s = sspi_->AcquireCredentialsHandleW(
        nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, authData,
        nullptr, nullptr, &handle_, nullptr);
    valid_ = s == SEC_E_OK;
    return s;
  }

  const SecurityFunctionTableW* sspi_;
  CredHandle handle_{};
  bool valid_ = false;
};

// UTF-16 as printable ASCII: what is not ASCII is escaped byte by byte of
// its UTF-8, as OpenSSL's names are.
std::string Printable(const wchar_t* text, size_t size, size_t limit = 160) {
  std::string utf8;
  const int n = size == 0 ? 0
                          : WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr,
                                                0, nullptr, nullptr);
  if (n > 0) {
    utf8.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), utf8.data(), n, nullptr, nullptr);
  }
  std::string out;
  AppendPrintable(out, utf8, limit);
  return out;
}

std::string Hex(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", value);
  return text;
}

// A distinguished name as RFC 4514 writes it, most specific first
// ("CN=host, O=Org").
std::string NameText(const CERT_NAME_BLOB& name) {
  constexpr DWORD kType = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  auto* blob = const_cast<CERT_NAME_BLOB*>(&name);
  const DWORD n = CertNameToStrW(X509_ASN_ENCODING, blob, kType, nullptr, 0);
  if (n <= 1) return "(no name)";
  std::wstring text(n, L'\0');
  const DWORD written = CertNameToStrW(X509_ASN_ENCODING, blob, kType, text.data(), n);
  return written <= 1 ? "(no name)" : Printable(text.data(), written - 1);
}

// YYYY-MM-DD, in UTC.
std::string DateText(const FILETIME& time) {
  SYSTEMTIME t{};
  if (!FileTimeToSystemTime(&time, &t)) return "(no date)";
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned{t.wYear}, unsigned{t.wMonth},
                unsigned{t.wDay});
  return text;
}

std::string UntrustedIssuer(const CERT_NAME_BLOB& issuer, std::string_view trustOption) {
  return "the certificate's issuer is not trusted: " + NameText(issuer) +
         UntrustedIssuerHint(trustOption);
}

Millis Left(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<Millis>(deadline - Clock::now());
  return left < Millis::zero() ? Millis::zero() : left;
}

std::wstring Widen(const std::string& text) {
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// Adds each certificate of a PEM file to `store`; false when the file
// cannot be read or holds none.
bool LoadRoots(const std::string& path, HCERTSTORE store) {
  std::unique_ptr<void, decltype(&CloseHandle)> file(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr),
      &CloseHandle);
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 24)) return false;
  std::string pem(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!ReadFile(file.get(), pem.data(), static_cast<DWORD>(pem.size()), &read, nullptr))
    return false;
  pem.resize(read);
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  for (size_t begin = pem.find(kBegin); begin != std::string::npos;
       begin = pem.find(kBegin, begin + 1)) {
    const size_t end = pem.find(kEnd, begin);
    if (end == std::string::npos) break;
    const auto length = static_cast<DWORD>(end + kEnd.size() - begin);
    DWORD derSize = 0;
    if (!CryptStringToBinaryA(pem.data() + begin, length, CRYPT_STRING_BASE64HEADER, nullptr,
                              &derSize, nullptr, nullptr))
      continue;
    std::vector<BYTE> der(derSize);
    if (CryptStringToBinaryA(pem.data() + begin, length, CRYPT_STRING_BASE64HEADER, der.data(),
                             &derSize, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), derSize,
                                         CERT_STORE_ADD_USE_EXISTING, nullptr))
      ++added;
  }
  return added > 0;
}

// The certificate's subjectAltName, decoded; null when it has none.
std::unique_ptr<CERT_ALT_NAME_INFO, FreeLocal> AltNames(const CERT_CONTEXT& cert) {
  const CERT_EXTENSION* extension = CertFindExtension(
      szOID_SUBJECT_ALT_NAME2, cert.pCertInfo->cExtension, cert.pCertInfo->rgExtension);
  if (extension == nullptr) return nullptr;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size))
    return nullptr;
  return std::unique_ptr<CERT_ALT_NAME_INFO, FreeLocal>(names);
}

// Whether the certificate names any server by subjectAltName. CryptoAPI's
// SSL policy falls back to the subject's common name for one that does
// not, which RFC 9525 (section 6.3) no longer allows.
bool HasServerNames(const CERT_CONTEXT& cert) {
  const auto names = AltNames(cert);
  if (!names) return false;
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const DWORD choice = names->rgAltEntry[i].dwAltNameChoice;
    if (choice == CERT_ALT_NAME_DNS_NAME || choice == CERT_ALT_NAME_IP_ADDRESS) return true;
  }
  return false;
}

// The DNS names and addresses of the certificate's subjectAltName, the
// first few; empty when it has none.
std::string ServerNames(const CERT_CONTEXT& cert) {
  const auto names = AltNames(cert);
  NameList out;
  for (DWORD i = 0; names && i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    std::string one;
    if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
      one = Printable(entry.pwszDNSName, std::wcslen(entry.pwszDNSName), 64);
    } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
      const DWORD length = entry.IPAddress.cbData;
      char text[INET6_ADDRSTRLEN] = "";
      if ((length != 4 && length != 16) ||
          inet_ntop(length == 4 ? AF_INET : AF_INET6, entry.IPAddress.pbData, text, sizeof text) ==
              nullptr)
        continue;
      one = text;
    } else {
      continue;
    }
    if (!out.Add(one)) break;
  }
  return std::move(out.text());
}

std::string NameFault(const CERT_CONTEXT& cert, const std::string& host) {
  const std::string names = ServerNames(cert);
  if (names.empty()) return std::string(kCnOnly);
  std::string out = "the certificate is for " + names + ", not ";
  AppendPrintable(out, host, 64);
  return out;
}

// Why the chain engine does not trust the chain, in the words OpenSSL's
// verify errors get on Linux. A chain holds the server's certificate
// first; a root it does not trust ends it, and so does a certificate whose
// issuer it could not find (a partial chain).
std::string ChainFault(const CERT_CHAIN_CONTEXT& chain, std::string_view trustOption) {
  const DWORD status = chain.TrustStatus.dwErrorStatus;
  const std::string unknown = "the certificate is not trusted (chain status " + Hex(status) + ")";
  if (chain.cChain == 0 || chain.rgpChain[0]->cElement == 0) return unknown;
  const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
  const DWORD n = simple.cElement;
  const CERT_INFO& top = *simple.rgpElement[n - 1]->pCertContext->pCertInfo;
  if ((status & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0)
    return n == 1 ? "the certificate is self-signed" + SelfSignedHint(trustOption)
                  : UntrustedIssuer(top.Subject, trustOption);
  if ((status & CERT_TRUST_IS_PARTIAL_CHAIN) != 0) {
    if (n > 1) return UntrustedIssuer(top.Issuer, trustOption);
    return "the chain is incomplete: the server did not send the intermediate CA " +
           NameText(top.Issuer) + ", or that CA is not trusted";
  }
  auto info = [&](DWORD i) -> const CERT_INFO& {
    return *simple.rgpElement[i]->pCertContext->pCertInfo;
  };
  auto fault = [&](DWORD i) { return simple.rgpElement[i]->TrustStatus.dwErrorStatus; };
  auto which = [&](DWORD i) {
    return i > 0 ? "the CA certificate " + NameText(info(i).Subject)
                 : std::string("the certificate");
  };
  // In OpenSSL's order: the purpose of each certificate from the server's
  // own up, then from the root down each one's signature and dates.
  if ((status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0) {
    DWORD i = 0;  // the server's own when no certificate is marked, only the chain
    while (i + 1 < n && (fault(i) & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) == 0) ++i;
    if ((fault(i) & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) == 0) i = 0;
    return which(i) + " is not for a TLS server (its extended key usage)";
  }
  for (DWORD i = n; i-- > 0;) {
    if ((fault(i) & CERT_TRUST_IS_NOT_SIGNATURE_VALID) != 0)
      return "a signature in the chain does not verify";
    if ((fault(i) & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
      return CertVerifyTimeValidity(nullptr, const_cast<CERT_INFO*>(&info(i))) < 0
                 ? which(i) + " is not valid until " + DateText(info(i).NotBefore)
                 : which(i) + " expired on " + DateText(info(i).NotAfter);
    }
    if ((fault(i) & CERT_TRUST_IS_REVOKED) != 0) return which(i) + " is revoked";
  }
  return unknown;
}

// Whether the certificate's subjectAltName names the address `host`.
bool NamesAddress(const CERT_CONTEXT& cert, const std::string& host) {
  unsigned char want[16];
  DWORD wantSize = 16;
  if (inet_pton(AF_INET, host.c_str(), want) == 1)
    wantSize = 4;
  else if (inet_pton(AF_INET6, host.c_str(), want) != 1)
    return false;
  const auto names = AltNames(cert);
  if (!names) return false;
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == wantSize &&
        std::memcmp(entry.IPAddress.pbData, want, wantSize) == 0)
      return true;
  }
  return false;
}

// Whether `cert`, with the intermediates the server sent beside it, chains
// up to a trusted root for server authentication and names `peer.host`.
// The roots are the system's, or only those of peer.caFile. `why` says
// what is wrong.
int Verify(const CERT_CONTEXT& cert, const TlsPeer& peer, Clock::time_point deadline,
           std::string& why) {
  StorePtr roots;
  EnginePtr engine;
  if (!peer.caFile.empty()) {
    roots.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!roots) return kNoMemory;
    if (!LoadRoots(peer.caFile, roots.get())) {
      why = "the CA file cannot be read or holds no certificate";
      return kUntrusted;
    }
    // The size of Windows 7's structure, which ends with the exclusive
    // stores; later fields are not known to every system.
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize =
        offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE);
    config.hExclusiveRoot = roots.get();
    HCERTCHAINENGINE made = nullptr;
    if (!CertCreateCertificateChainEngine(&config, &made)) {
      why = "the CA file's certificates cannot be used (" + Hex(GetLastError()) + ")";
      return kUntrusted;
    }
    engine.reset(made);
  }
  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA chainPara{};
  // The fields up to Windows 7's last. What the chain engine fetches (a
  // missing intermediate, a root Windows has not downloaded yet) counts
  // against the handshake's time.
  chainPara.cbSize = offsetof(CERT_CHAIN_PARA, pStrongSignPara);
  chainPara.dwUrlRetrievalTimeout =
      static_cast<DWORD>(std::max<long long>(Left(deadline).count(), 1));
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
  const CERT_CHAIN_CONTEXT* made = nullptr;
  if (!CertGetCertificateChain(engine.get(), &cert, nullptr, cert.hCertStore, &chainPara, 0,
                               nullptr, &made)) {
    why = "no chain could be built for the certificate (" + Hex(GetLastError()) + ")";
    return kUntrusted;
  }
  const ChainPtr chain(made);
  // Any error at all: Wine's SSL policy passes a partial chain.
  if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) {
    why = ChainFault(*chain, peer.trustOption);
    return kUntrusted;
  }
  if (!HasServerNames(cert)) {
    why = kCnOnly;
    return kUntrusted;
  }
  // Names are checked by the policy; addresses, which it does not match
  // against IP address entries, below.
  std::wstring name = peer.hostIsAddress ? std::wstring() : Widen(peer.host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = peer.hostIsAddress ? nullptr : name.data();
  CERT_CHAIN_POLICY_PARA policyPara{};
  policyPara.cbSize = sizeof policyPara;
  policyPara.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policyPara, &status)) {
    why = "the certificate cannot be checked (" + Hex(GetLastError()) + ")";
    return kUntrusted;
  }
  if (status.dwError != 0) {
    why = static_cast<HRESULT>(status.dwError) == CERT_E_CN_NO_MATCH
              ? NameFault(cert, peer.host)
              : "the certificate is not trusted (SSL policy status " + Hex(status.dwError) + ")";
    return kUntrusted;
  }
  if (peer.hostIsAddress && !NamesAddress(cert, peer.host)) {
    why = NameFault(cert, peer.host);
    return kUntrusted;
  }
  return kSecured;
}

class SchannelConnection final : public Connection {
 public:
  SchannelConnection(const SecurityFunctionTableW* sspi, std::unique_ptr<Connection> plain,
                     const TlsPeer& peer)
      : library_(sspi),
        sspi_(library_.table()),
        plain_(std::move(plain)),
        target_(peer.hostIsAddress ? std::wstring() : Widen(peer.host)),
        in_(16 * 1024 + 512) {}

  SchannelConnection(const SchannelConnection&) = delete;
  SchannelConnection& operator=(const SchannelConnection&) = delete;

  ~SchannelConnection() override {
    if (secured_) SendCloseNotify();
    Wipe(in_.data(), in_.size());
    Wipe(pending_.data(), pending_.size());
    Wipe(out_.data(), out_.size());
    if (hasContext_) sspi_->DeleteSecurityContext(&context_);
  }

  // Handshake, protocol version and certificate: the TlsOutcome result;
  // `detail` says why in words, or what was set up.
  int Start(const TlsPeer& peer, std::string& detail) {
    if (sspi_ == nullptr) {
      detail = "SSPI (secur32.dll) cannot be had";
      return kNoTls;
    }
    const SECURITY_STATUS acquired = credentials_.Acquire();
    if (acquired == SEC_E_INSUFFICIENT_MEMORY) return kNoMemory;
    if (acquired != SEC_E_OK) {
      detail = "SChannel gives no credentials for TLS 1.2 (SSPI status " + Hex(acquired) + ")";
      return kNoTls;
    }
    timeout_ = peer.timeout;
    const auto deadline = Clock::now() + peer.timeout;
    const int handshake = Handshake(deadline);
    if (handshake != kSecured) {
      detail = std::move(why_);
      return handshake;
    }
    SecPkgContext_ConnectionInfo info{};
    if (sspi_->QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
        info.dwProtocol == 0 || (info.dwProtocol & kBelowTls12) != 0) {
      detail = info.dwProtocol == 0 ? "SChannel does not tell the protocol it set up"
                                    : std::string(kOldProtocol);
      return kNoTls;
    }
    tls13_ = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
    if (sspi_->QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) {
      detail = "SChannel does not tell the sizes of its records";
      return kNoTls;
    }
    const size_t record = sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer;
    if (in_.size() < record) in_.resize(record);
    out_.resize(record);
    pending_.resize(sizes_.cbMaximumMessage);
    secured_ = true;
    const CERT_CONTEXT* cert = nullptr;
    if (sspi_->QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) !=
            SEC_E_OK ||
        cert == nullptr) {
      detail = "the server sent no certificate";
      return kUntrusted;
    }
    const CertPtr owned(cert);
    const int verified = Verify(*cert, peer, deadline, detail);
    if (verified == kSecured) detail = Summary(info.dwProtocol, *cert);
    return verified;
  }

  // One record at a time. A record is sent whole before anything else is
  // taken: when the wrapped connection stops part way, the rest waits for
  // the next call, which the caller makes with the same bytes again, and
  // which then reports them taken without encrypting them a second time.
  IoResult Send(const char* data, size_t size, Millis timeout) override {
    if (outSize_ == 0) {
      if (size == 0) return {IoStatus::Ok, 0};
      const size_t n = std::min<size_t>(size, sizes_.cbMaximumMessage);
      std::memcpy(out_.data() + sizes_.cbHeader, data, n);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, out_.data()},
          {static_cast<ULONG>(n), SECBUFFER_DATA, out_.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, out_.data() + sizes_.cbHeader + n},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      if (sspi_->EncryptMessage(&context_, 0, &description, 0) != SEC_E_OK) {
        Wipe(out_.data() + sizes_.cbHeader, n);
        return {IoStatus::Failed, 0};
      }
      outSize_ = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
      outSent_ = 0;
      outTaken_ = n;
    }
    const auto deadline = Clock::now() + timeout;
    while (outSent_ < outSize_) {
      const IoResult r = plain_->Send(out_.data() + outSent_, outSize_ - outSent_, Left(deadline));
      if (r.status != IoStatus::Ok) return {r.status, 0};
      outSent_ += r.bytes;
    }
    outSize_ = 0;
    return {IoStatus::Ok, outTaken_};
  }

  // The deadline is checked here too: once it has passed, the wrapped
  // connection still returns bytes that wait on the socket, and a record
  // may decrypt to nothing.
  IoResult Receive(char* buffer, size_t size, Millis timeout) override {
    const auto deadline = Clock::now() + timeout;
    for (bool first = true;; first = false) {
      if (pendingBegin_ < pendingEnd_) return {IoStatus::Ok, TakePending(buffer, size)};
      if (broken_) return {IoStatus::Failed, 0};
      if (closed_) return {IoStatus::Closed, 0};
      if (!first && Clock::now() >= deadline) return {IoStatus::TimedOut, 0};
      if (inSize_ > 0) {
        const Step step = Decrypt(deadline);
        if (step == Step::Failed) broken_ = true;
        if (step != Step::NeedMore) continue;
      }
      const IoResult r =
          plain_->Receive(in_.data() + inSize_, in_.size() - inSize_, Left(deadline));
      if (r.status != IoStatus::Ok) return {r.status, 0};
      inSize_ += r.bytes;
    }
  }

  size_t Unread() override { return pendingEnd_ - pendingBegin_; }
  std::string LocalAddressLiteral() override { return plain_->LocalAddressLiteral(); }

 private:
  SEC_WCHAR* Target() { return target_.empty() ? nullptr : target_.data(); }

  // Sends all of `data` by `deadline`, retrying interruptions.
  bool SendAll(const void* data, size_t size, Clock::time_point deadline) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const IoResult r = plain_->Send(p, size, Left(deadline));
      if (r.status == IoStatus::Interrupted && Left(deadline) > Millis::zero()) continue;
      if (r.status != IoStatus::Ok) return false;
      p += r.bytes;
      size -= r.bytes;
    }
    return true;
  }

  // Runs the handshake (or a renegotiation, from the handshake bytes in
  // in_) to its end; what SChannel leaves unread stays in in_.
  int Handshake(Clock::time_point deadline) {
    for (;;) {
      if (Left(deadline) == Millis::zero()) return Fail(SEC_E_OK, IoStatus::TimedOut);
      if (!hasContext_ || inSize_ > 0) {
        SecBuffer input[2] = {{static_cast<ULONG>(inSize_), SECBUFFER_TOKEN, in_.data()},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inputDescription{SECBUFFER_VERSION, 2, input};
        SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outputDescription{SECBUFFER_VERSION, 1, output};
        ULONG attributes = 0;
        const SECURITY_STATUS s = sspi_->InitializeSecurityContextW(
            credentials_.get(), hasContext_ ? &context_ : nullptr, Target(), kContextFlags, 0, 0,
            hasContext_ ? &inputDescription : nullptr, 0, &context_, &outputDescription,
            &attributes, nullptr);
        const SspiBuffer token(output[0].pvBuffer, FreeSspiBuffer{sspi_});
        if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) hasContext_ = true;
        if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED || s == SEC_I_INCOMPLETE_CREDENTIALS) {
          if (token && !SendAll(token.get(), output[0].cbBuffer, deadline))
            return Fail(SEC_E_OK, IoStatus::Failed);
          if (s == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // none to give: go on without
          if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0) {
            std::memmove(in_.data(), in_.data() + inSize_ - input[1].cbBuffer, input[1].cbBuffer);
            inSize_ = input[1].cbBuffer;
          } else {
            inSize_ = 0;
          }
          if (s == SEC_E_OK) return kSecured;
          continue;
        }
        if (s != SEC_E_INCOMPLETE_MESSAGE) {
          if (token)
            SendAll(token.get(), output[0].cbBuffer,
                    std::min(deadline, Clock::now() + kCloseNotifyTime));
          return s == SEC_E_INSUFFICIENT_MEMORY ? kNoMemory : Fail(s, IoStatus::Ok);
        }
      }
      if (inSize_ == in_.size()) {
        if (in_.size() >= kMaxHandshakeBuffer) {
          why_ = "the server's handshake does not end";
          return kNoTls;
        }
        in_.resize(in_.size() * 2);
      }
      const IoResult r =
          plain_->Receive(in_.data() + inSize_, in_.size() - inSize_, Left(deadline));
      if (r.status == IoStatus::Ok) {
        for (size_t i = 0; i < r.bytes && firstSize_ < sizeof first_; ++i)
          first_[firstSize_++] = in_[inSize_ + i];
        inSize_ += r.bytes;
        // Clear text may never fill the record its first bytes announce.
        if (!secured_ && !LooksLikeTls(std::string_view(first_, firstSize_)))
          return Fail(SEC_E_OK, IoStatus::Ok);
      } else if (r.status != IoStatus::Interrupted) {
        return Fail(SEC_E_OK, r.status);
      }
    }
  }

  // kNoTls, with why_ saying why in words.
  int Fail(SECURITY_STATUS s, IoStatus io) {
    why_ = HandshakeFault(s, io);
    return kNoTls;
  }

  std::string HandshakeFault(SECURITY_STATUS s, IoStatus io) const {
    if (!LooksLikeTls(std::string_view(first_, firstSize_))) return std::string(kClearText);
    if (const int alert = AlertIn(); alert >= 0) return AlertFault(alert);
    // A ServerHello (RFC 5246 7.4.1.3) of a version below TLS 1.2's 3.3,
    // which Wine's SChannel reports as an internal error.
    const auto* hello = reinterpret_cast<const unsigned char*>(first_);
    if (firstSize_ == sizeof first_ && hello[0] == 22 && hello[5] == 2 &&
        (hello[9] < 3 || (hello[9] == 3 && hello[10] < 3)))
      return std::string(kOldProtocol);
    if (io == IoStatus::TimedOut)
      return (firstSize_ == 0 ? "no reply to the TLS handshake within "
                              : "the TLS handshake did not finish within ") +
             TimeText(timeout_);
    if (io == IoStatus::Closed) return std::string(kClosed);
    if (io != IoStatus::Ok) return "the connection failed during the handshake";
    if (s == SEC_E_ALGORITHM_MISMATCH) return std::string(kNoCommonCipher);
    // What SChannel says to a server that picks a version it does not take.
    if (s == SEC_E_UNSUPPORTED_FUNCTION) return std::string(kOldProtocol);
    return "the handshake failed (SSPI status " + Hex(static_cast<unsigned long>(s)) + ")";
  }

  // The description of an alert the server sent in clear, among the bytes
  // SChannel did not take; -1 when there is none.
  int AlertIn() const {
    const auto* p = reinterpret_cast<const unsigned char*>(in_.data());
    for (size_t at = 0; at + 7 <= inSize_; at += 5 + (size_t{p[at + 3]} << 8 | p[at + 4])) {
      if (p[at] == kAlertRecord && p[at + 3] == 0 && p[at + 4] == 2) return p[at + 6];
    }
    return -1;
  }

  // The protocol and cipher suite, and whose certificate the server has.
  std::string Summary(DWORD protocol, const CERT_CONTEXT& cert) {
    std::string out = (protocol & SP_PROT_TLS1_3_CLIENT) != 0 ? "TLSv1.3" : "TLSv1.2";
    SecPkgContext_CipherInfo cipher{};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (sspi_->QueryContextAttributesW(&context_, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK) {
      const wchar_t* name = cipher.szCipherSuite;
      const auto n = static_cast<size_t>(std::find(name, name + SZ_ALG_MAX_SIZE, L'\0') - name);
      if (n > 0) out += " " + Printable(name, n, 64);
    }
    return out + "; certificate " + NameText(cert.pCertInfo->Subject) + ", issued by " +
           NameText(cert.pCertInfo->Issuer);
  }

  enum class Step { Done, NeedMore, Failed };

  // Decrypts the record at the start of in_ into pending_.
  Step Decrypt(Clock::time_point deadline) {
    SecBuffer buffers[4] = {{static_cast<ULONG>(inSize_), SECBUFFER_DATA, in_.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const bool alert = in_[0] == kAlertRecord;
    const SECURITY_STATUS s = sspi_->DecryptMessage(&context_, &description, 0, nullptr);
    if (s == SEC_E_INCOMPLETE_MESSAGE)  // no record is longer than in_
      return inSize_ == in_.size() ? Step::Failed : Step::NeedMore;
    if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE && s != SEC_I_CONTEXT_EXPIRED) return Step::Failed;
    // Under TLS 1.2 this is a renegotiation, which could bring a
    // certificate never verified: refused, as OpenSSL is told to. Under TLS
    // 1.3 it is the server's post-handshake messages (session tickets, key
    // updates; RFC 8446 4.6), which leave its certificate as it was.
    if (s == SEC_I_RENEGOTIATE && !tls13_) return Step::Failed;
    const SecBuffer* extra = nullptr;
    bool data = false;
    for (SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        const size_t n = std::min<size_t>(b.cbBuffer, pending_.size());
        std::memcpy(pending_.data(), b.pvBuffer, n);
        Wipe(b.pvBuffer, b.cbBuffer);
        pendingBegin_ = 0;
        pendingEnd_ = n;
        data = true;
      } else if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) {
        extra = &b;
      }
    }
    const size_t extraSize = extra != nullptr ? extra->cbBuffer : 0;
    std::memmove(in_.data(), in_.data() + inSize_ - extraSize, extraSize);
    inSize_ = extraSize;
    // The peer's close_notify. Wine reports it as an alert record that
    // decrypts to nothing.
    if (s == SEC_I_CONTEXT_EXPIRED || (s == SEC_E_OK && alert && !data)) closed_ = true;
    emptyRecords_ = data ? 0 : emptyRecords_ + 1;
    if (emptyRecords_ > kMaxEmptyRecords) return Step::Failed;
    if (s == SEC_I_RENEGOTIATE) {
      // SChannel takes the post-handshake messages through the handshake.
      try {
        if (Handshake(deadline) != kSecured) return Step::Failed;
      } catch (const std::bad_alloc&) {
        return Step::Failed;
      }
    }
    return Step::Done;
  }

  size_t TakePending(char* buffer, size_t size) {
    const size_t n = std::min(size, pendingEnd_ - pendingBegin_);
    std::memcpy(buffer, pending_.data() + pendingBegin_, n);
    Wipe(pending_.data() + pendingBegin_, n);
    pendingBegin_ += n;
    return n;
  }

  // Best effort, briefly; the peer's close_notify is not waited for.
  // SChannel may not support shutting down (ApplyControlToken), then
  // nothing is sent.
  void SendCloseNotify() {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDescription{SECBUFFER_VERSION, 1, &control};
    if (sspi_->ApplyControlToken(&context_, &controlDescription) != SEC_E_OK) return;
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputDescription{SECBUFFER_VERSION, 1, output};
    ULONG attributes = 0;
    const SECURITY_STATUS s = sspi_->InitializeSecurityContextW(
        credentials_.get(), &context_, Target(), kContextFlags, 0, 0, nullptr, 0, &context_,
        &outputDescription, &attributes, nullptr);
    const SspiBuffer token(output[0].pvBuffer, FreeSspiBuffer{sspi_});
    if ((s == SEC_E_OK || s == SEC_I_CONTEXT_EXPIRED) && token)
      SendAll(token.get(), output[0].cbBuffer, Clock::now() + kCloseNotifyTime);
  }

  Sspi library_;  // let go last
  const SecurityFunctionTableW* sspi_;
  std::unique_ptr<Connection> plain_;
  std::wstring target_;  // the SNI name; empty for an address
  Credentials credentials_{sspi_};
  CtxtHandle context_{};
  bool hasContext_ = false;
  bool secured_ = false;
  bool closed_ = false;   // the peer's close_notify came
  bool broken_ = false;   // a record could not be taken: nothing more is read
  bool tls13_ = false;    // the protocol negotiated is TLS 1.3
  int emptyRecords_ = 0;  // records in a row that decrypted to nothing
  // For the words of a failed handshake:
  Millis timeout_{0};    // the time it had
  char first_[11] = {};  // the server's first bytes, firstSize_ of them: up to a ServerHello's
                         // version
  size_t firstSize_ = 0;
  std::string why_;  // why it failed
  SecPkgContext_StreamSizes sizes_{};
  std::vector<char> in_;  // received, not yet decrypted: inSize_ bytes
  size_t inSize_ = 0;
  std::vector<char> pending_;  // decrypted, not yet returned: [pendingBegin_, pendingEnd_)
  size_t pendingBegin_ = 0;
  size_t pendingEnd_ = 0;
  std::vector<char> out_;  // the record being sent: outSent_ of outSize_ bytes out
  size_t outSize_ = 0;
  size_t outSent_ = 0;
  size_t outTaken_ = 0;  // the caller's bytes in it
};

}  // namespace

TlsOutcome win::StartTlsWith(const SecurityFunctionTableW* sspi, std::unique_ptr<Connection> plain,
                             const TlsPeer& peer) {
  TlsOutcome outcome;
  try {
    auto tls = std::make_unique<SchannelConnection>(sspi, std::move(plain), peer);
    outcome.result = tls->Start(peer, outcome.detail);
    if (outcome.result == kSecured) outcome.connection = std::move(tls);
  } catch (const std::bad_alloc&) {
    outcome.detail.clear();
    outcome.result = kNoMemory;
  }
  return outcome;
}

TlsOutcome StartTls(std::unique_ptr<Connection> plain, const TlsPeer& peer) {
  return win::StartTlsWith(nullptr, std::move(plain), peer);
}

}  // namespace vtl::platform
