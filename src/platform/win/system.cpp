// Clock, locale, host name and services database on Windows.
#include <string>

#include "platform/platform.h"
#include "platform/win/winsock.h"

namespace vtl::platform {
namespace win {

int UtcOffsetMinutes(DWORD zoneId, const TIME_ZONE_INFORMATION& zone) {
  // Bias is UTC minus local time, in minutes; the standard or daylight bias
  // of the current period adds to it.
  LONG bias = zone.Bias;
  if (zoneId == TIME_ZONE_ID_DAYLIGHT) {
    bias += zone.DaylightBias;
  } else if (zoneId == TIME_ZONE_ID_STANDARD) {
    bias += zone.StandardBias;
  }
  return static_cast<int>(-bias);
}

}  // namespace win

DetailSlot* ThreadDetailSlot() noexcept {
  return nullptr;  // TODO(abi): TlsAlloc slot, freed at thread and process detach
}

// SChannel keeps no state to clean up at exit.
void SkipTlsCleanupAtExit() {}

void Wipe(void* data, size_t size) noexcept {
  SecureZeroMemory(data, size);
}

LocaleInfo UserLocale() {
  LocaleInfo info;
  char name[16] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, name, sizeof name) > 0)
    info.abbrevLangName = name;
  info.codePage = GetACP();
  for (unsigned b = 0; b < 256; ++b)
    info.leadBytes[b] = IsDBCSLeadByteEx(info.codePage, static_cast<BYTE>(b)) != FALSE;
  return info;
}

LocalTime Now() {
  // The zone is read first: should the period change between the two calls,
  // the offset is the older one, off for at most that moment.
  TIME_ZONE_INFORMATION zone{};
  const DWORD zoneId = GetTimeZoneInformation(&zone);
  SYSTEMTIME local{};
  GetLocalTime(&local);
  LocalTime t;
  t.year = local.wYear;
  t.month = local.wMonth;
  t.day = local.wDay;
  t.dayOfWeek = local.wDayOfWeek;
  t.hour = local.wHour;
  t.minute = local.wMinute;
  t.second = local.wSecond;
  t.millisecond = local.wMilliseconds;
  t.utcOffsetMinutes = zoneId == TIME_ZONE_ID_INVALID ? 0 : win::UtcOffsetMinutes(zoneId, zone);
  return t;
}

std::string HostName() {
  win::WinsockSession session;
  if (!session.started()) return {};
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

uint16_t MailPort() {
  win::WinsockSession session;
  if (!session.started()) return 25;
  // The entry lives in storage of this thread until its next lookup.
  const servent* entry = getservbyname("mail", nullptr);
  return entry != nullptr ? ntohs(static_cast<u_short>(entry->s_port)) : 25;
}

unsigned long ProcessId() {
  return GetCurrentProcessId();
}

// Windows threads have no cancellation.
NoCancellation::NoCancellation() = default;
NoCancellation::~NoCancellation() = default;

}  // namespace vtl::platform
