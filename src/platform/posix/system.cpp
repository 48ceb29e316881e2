// Clock, locale, host name and services database on POSIX systems.
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/locale_name.h"

namespace vtl::platform {

DetailSlot* ThreadDetailSlot() noexcept {
  // Trivially destructible, so no destructor is registered for the thread;
  // the loader's TLS takes care of the memory, before and after dlclose.
  static thread_local DetailSlot slot;
  return &slot;
}

LocaleInfo UserLocale() {
  return ParseLocaleName(
      PickLocaleName(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG")));
}

LocalTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  const time_t seconds = ts.tv_sec;
  localtime_r(&seconds, &local);
  LocalTime t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.dayOfWeek = local.tm_wday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec;
  t.millisecond = static_cast<int>(ts.tv_nsec / 1'000'000);
  // tm_gmtoff is the offset in force at that instant, daylight saving included.
  t.utcOffsetMinutes = static_cast<int>(local.tm_gmtoff / 60);
  return t;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

uint16_t MailPort() {
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  // The reentrant form: concurrent sends must not share the static entry.
  if (getservbyname_r("mail", nullptr, &entry, buffer, sizeof buffer, &found) == 0 &&
      found != nullptr)
    return ntohs(static_cast<uint16_t>(found->s_port));
  return 25;
}

void Wipe(void* data, size_t size) noexcept {
  explicit_bzero(data, size);
}

unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}

bool StandardInputIsTerminal() {
  return isatty(STDIN_FILENO) != 0;
}

NoCancellation::NoCancellation() {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_);
}

NoCancellation::~NoCancellation() {
  int ignored = 0;
  pthread_setcancelstate(old_, &ignored);
}

}  // namespace vtl::platform
