// The exported functions. Nothing thrown inside gets past them.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "mail/session.h"
#include "platform/platform.h"
#include "shell/launcher.h"
#include "vtl.h"

namespace {

std::atomic<uint64_t> g_sequence{0};

}  // namespace

extern "C" VTL_API SendResult VTL_CALL VTLSendMail(const char* server, const char* fromAddress,
                                                   const char* fromName, const char* toAddress,
                                                   const char* toName, const char* subject,
                                                   const char* body) {
  const vtl::platform::NoCancellation noCancellation;
  try {
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
    return vtl::mail::SendMail({server, fromAddress, fromName, toAddress, toName, subject, body},
                               env);
  } catch (...) {
    return VTL_SEND_NO_MEMORY;  // only the environment's strings can throw here
  }
}

extern "C" VTL_API int32_t VTL_CALL VTLInternet(void* window, const char* target) {
  const vtl::platform::NoCancellation noCancellation;
  return vtl::shell::Internet(window, target, vtl::platform::OpenWithDefaultHandler);
}
