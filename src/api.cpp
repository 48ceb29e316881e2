// The exported functions. Nothing thrown inside gets past them.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "mail/detail.h"
#include "mail/session.h"
#include "platform/platform.h"
#include "shell/launcher.h"
#include "signin/system.h"
#include "vtl.h"

namespace {

std::atomic<uint64_t> g_sequence{0};

// Keeps `text` as the calling thread's detail: printable ASCII already, cut
// to the slot's size.
void SetDetail(std::string_view text) noexcept {
  vtl::platform::DetailSlot* slot = vtl::platform::ThreadDetailSlot();
  if (slot == nullptr) return;
  const size_t n = std::min(text.size(), vtl::platform::kMaxDetail);
  if (n > 0) std::memcpy(slot->text, text.data(), n);  // an empty view may hold no pointer
  slot->length = n;
}

// Everything a send takes from the system, for the server named `server`.
vtl::mail::SendEnv SystemEnv(const char* server) {
  vtl::mail::SendEnv env;
  // The locale decides Japanese mode for this send, before anything else.
  env.locale = vtl::platform::UserLocale();
  env.charsets = vtl::platform::OpenCharsets;
  // The services entry is read only for a host name: a URL has its own port.
  if (server == nullptr || std::strstr(server, "://") == nullptr)
    env.port = vtl::platform::MailPort();
  env.network = &vtl::platform::SystemNetwork();
  env.clock = vtl::platform::Now;
  env.hostName = vtl::platform::HostName();
  env.processId = vtl::platform::ProcessId();
  env.sequence = g_sequence.fetch_add(1, std::memory_order_relaxed);
  env.keptToken = [](std::string_view user, bool refresh, vtl::mail::Secret& token, bool& fresh,
                     std::string& why) {
    const vtl::signin::SystemSignIn system;
    return vtl::signin::KeptAccessToken(user, refresh, system.Env(), token, fresh, why);
  };
  return env;
}

// Runs send(env, detail) and keeps its detail as the thread's.
template <class Send>
SendResult Sending(const char* server, Send&& send) noexcept {
  const vtl::platform::NoCancellation noCancellation;
  SetDetail({});
  int result = VTL_SEND_NO_MEMORY;
  std::string detail;
  try {
    result = send(SystemEnv(server), detail);
  } catch (...) {
    // Only the environment's strings can throw here: no memory.
  }
  SetDetail(result == VTL_SEND_NO_MEMORY && detail.empty() ? "out of memory" : detail);
  return result;
}

}  // namespace

extern "C" VTL_API SendResult VTL_CALL VTLSendMail(const char* server, const char* fromAddress,
                                                   const char* fromName, const char* toAddress,
                                                   const char* toName, const char* subject,
                                                   const char* body) {
  return Sending(server, [&](const vtl::mail::SendEnv& env, std::string& detail) {
    return vtl::mail::SendMail({server, fromAddress, fromName, toAddress, toName, subject, body},
                               env, &detail);
  });
}

extern "C" VTL_API SendResult VTL_CALL VTLSendMailEx(const char* server, const char* from,
                                                     const char* to, const char* cc,
                                                     const char* bcc, const char* subject,
                                                     const char* body, const char* attachments,
                                                     const char* headers) {
  return Sending(server, [&](const vtl::mail::SendEnv& env, std::string& detail) {
    return vtl::mail::SendMailEx({server, from, to, cc, bcc, subject, body, attachments, headers},
                                 env, &detail);
  });
}

namespace {

// Keeps an opener's detail as the thread's, in printable ASCII.
void SetOpenDetail(const std::string& detail) noexcept {
  std::string printable;
  try {
    vtl::mail::AppendPrintable(printable, detail, vtl::platform::kMaxDetail);
  } catch (...) {
    printable.clear();
  }
  SetDetail(printable);
}

}  // namespace

extern "C" VTL_API int32_t VTL_CALL VTLInternet(void* window, const char* target) {
  const vtl::platform::NoCancellation noCancellation;
  std::string detail;
  const int result =
      vtl::shell::Internet(window, target, vtl::platform::OpenWithDefaultHandler, detail);
  SetOpenDetail(detail);
  return result;
}

#if defined(_WIN32)
// The UTF-16 forms: the texts as UTF-8 under the UTF-8 code page, whatever
// the system's own, so that no character is lost on the way in. Japanese
// mode still follows the user's locale.
namespace {

struct Wide {
  explicit Wide(const wchar_t* text)
      : null(text == nullptr), utf8(vtl::platform::Utf8FromWide(text)) {}
  const char* get() const { return null ? nullptr : utf8.c_str(); }
  bool null;
  std::string utf8;
};

// A surrogate without its pair is no character: as U+FFFD in a path it
// would name another file.
bool HoldsLoneSurrogate(const wchar_t* text) {
  for (; text != nullptr && *text != 0; ++text) {
    const bool high = *text >= 0xD800 && *text <= 0xDBFF;
    const bool low = *text >= 0xDC00 && *text <= 0xDFFF;
    if (low || (high && !(text[1] >= 0xDC00 && text[1] <= 0xDFFF))) return true;
    if (high) ++text;
  }
  return false;
}

vtl::mail::SendEnv Utf8Env(vtl::mail::SendEnv env) {
  env.locale.codePage = 65001;
  env.locale.leadBytes.reset();
  return env;
}

}  // namespace

extern "C" VTL_API SendResult VTL_CALL VTLSendMailW(const wchar_t* server,
                                                    const wchar_t* fromAddress,
                                                    const wchar_t* fromName,
                                                    const wchar_t* toAddress, const wchar_t* toName,
                                                    const wchar_t* subject, const wchar_t* body) {
  try {
    const Wide a[] = {Wide(server), Wide(fromAddress), Wide(fromName), Wide(toAddress),
                      Wide(toName), Wide(subject),     Wide(body)};
    return Sending(a[0].get(), [&](const vtl::mail::SendEnv& env, std::string& detail) {
      return vtl::mail::SendMail(
          {a[0].get(), a[1].get(), a[2].get(), a[3].get(), a[4].get(), a[5].get(), a[6].get()},
          Utf8Env(env), &detail);
    });
  } catch (...) {
    SetDetail("out of memory");
    return VTL_SEND_NO_MEMORY;
  }
}

extern "C" VTL_API SendResult VTL_CALL VTLSendMailExW(const wchar_t* server, const wchar_t* from,
                                                      const wchar_t* to, const wchar_t* cc,
                                                      const wchar_t* bcc, const wchar_t* subject,
                                                      const wchar_t* body,
                                                      const wchar_t* attachments,
                                                      const wchar_t* headers) {
  if (HoldsLoneSurrogate(attachments)) {
    SetDetail("attachments: a path holds a UTF-16 surrogate without its pair");
    return VTL_SEND_BAD_ARGUMENT;
  }
  try {
    const Wide a[] = {Wide(server),  Wide(from), Wide(to),          Wide(cc),     Wide(bcc),
                      Wide(subject), Wide(body), Wide(attachments), Wide(headers)};
    return Sending(a[0].get(), [&](const vtl::mail::SendEnv& env, std::string& detail) {
      return vtl::mail::SendMailEx({a[0].get(), a[1].get(), a[2].get(), a[3].get(), a[4].get(),
                                    a[5].get(), a[6].get(), a[7].get(), a[8].get()},
                                   Utf8Env(env), &detail);
    });
  } catch (...) {
    SetDetail("out of memory");
    return VTL_SEND_NO_MEMORY;
  }
}

extern "C" VTL_API int32_t VTL_CALL VTLInternetW(void* window, const wchar_t* target) {
  const vtl::platform::NoCancellation noCancellation;
  std::string detail;
  const int result = vtl::shell::InternetWith(
      target == nullptr, target != nullptr && *target == L'\0',
      [&](std::string& why) {
        return vtl::platform::OpenWithDefaultHandlerWide(window, target, why);
      },
      detail);
  SetOpenDetail(detail);
  return result;
}
#endif

namespace {

// Runs a sign-in call and keeps its detail as the thread's.
template <class Call>
int32_t SigningIn(Call&& call) noexcept {
  const vtl::platform::NoCancellation noCancellation;
  SetDetail({});
  std::string detail;
  int result = VTL_SEND_NO_MEMORY;
  try {
    const vtl::signin::SystemSignIn system;
    result = call(system.Env(), detail);
  } catch (...) {
    detail.clear();
  }
  SetOpenDetail(result == VTL_SEND_NO_MEMORY && detail.empty() ? "out of memory" : detail);
  return result;
}

}  // namespace

extern "C" VTL_API int32_t VTL_CALL VTLSignIn(const char* provider, const char* clientId,
                                              const char* clientSecret, const char* account) {
  return SigningIn([&](const vtl::signin::SignInEnv& env, std::string& detail) {
    return vtl::signin::SignIn({provider, clientId, clientSecret, account}, env, &detail);
  });
}

extern "C" VTL_API int32_t VTL_CALL VTLSignOut(const char* account) {
  return SigningIn([&](const vtl::signin::SignInEnv& env, std::string& detail) {
    return vtl::signin::SignOut(account, env, &detail);
  });
}

extern "C" VTL_API int32_t VTL_CALL VTLLastError(char* buffer, int32_t size) {
  const vtl::platform::DetailSlot* slot = vtl::platform::ThreadDetailSlot();
  const size_t length = slot != nullptr ? slot->length : 0;
  if (buffer != nullptr && size > 0) {
    const size_t n = std::min(length, static_cast<size_t>(size) - 1);
    if (n > 0) std::memcpy(buffer, slot->text, n);
    buffer[n] = '\0';
  }
  return static_cast<int32_t>(length);
}
