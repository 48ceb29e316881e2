// Clock, locale, host name and services database on Windows, and the
// calling thread's detail slot.
#include <atomic>
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

namespace {

// The detail slots: one TLS index for the process, and each thread's slot
// on the process heap, made when the thread first needs it. No thread_local
// here: mingw-w64 makes that emutls, whose blocks a destructor frees at a
// thread's end from the DLL's own callbacks, and a thread_local with a
// destructor of its own pins the DLL and frees it from the thread's end,
// where the thread then hangs under Wine (tests/win_host.c --unload). In
// the DLL, DllMain (dll.cpp) frees the slots; in a program with the core
// linked in, a thread's slot stays on the heap until the process ends.
INIT_ONCE g_detailOnce = INIT_ONCE_STATIC_INIT;
// TLS_OUT_OF_INDEXES until made, and when none could be had.
std::atomic<DWORD> g_detailIndex{TLS_OUT_OF_INDEXES};

BOOL CALLBACK MakeDetailIndex(PINIT_ONCE, PVOID, PVOID*) {
  g_detailIndex.store(TlsAlloc(), std::memory_order_release);
  return TRUE;
}

}  // namespace

void FreeThreadDetailSlot() noexcept {
  const DWORD index = g_detailIndex.load(std::memory_order_acquire);
  if (index == TLS_OUT_OF_INDEXES) return;
  void* slot = TlsGetValue(index);
  if (slot == nullptr) return;
  TlsSetValue(index, nullptr);
  HeapFree(GetProcessHeap(), 0, slot);
}

void FreeDetailIndex() noexcept {
  FreeThreadDetailSlot();
  const DWORD index = g_detailIndex.exchange(TLS_OUT_OF_INDEXES, std::memory_order_acq_rel);
  if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
}

}  // namespace win

DetailSlot* ThreadDetailSlot() noexcept {
  // TlsGetValue resets the thread's last error; the host's is kept.
  const DWORD lastError = GetLastError();
  DetailSlot* slot = nullptr;
  InitOnceExecuteOnce(&win::g_detailOnce, win::MakeDetailIndex, nullptr, nullptr);
  const DWORD index = win::g_detailIndex.load(std::memory_order_acquire);
  if (index != TLS_OUT_OF_INDEXES) {
    slot = static_cast<DetailSlot*>(TlsGetValue(index));
    if (slot == nullptr) {
      slot = static_cast<DetailSlot*>(
          HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(DetailSlot)));
      if (slot != nullptr && !TlsSetValue(index, slot)) {
        HeapFree(GetProcessHeap(), 0, slot);
        slot = nullptr;
      }
    }
  }
  SetLastError(lastError);
  return slot;
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

bool StandardInputIsTerminal() {
  // GetFileType says FILE_TYPE_CHAR for NUL too, which reads as empty at
  // once; only a console has a console mode.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// Windows threads have no cancellation.
NoCancellation::NoCancellation() = default;
NoCancellation::~NoCancellation() = default;

}  // namespace vtl::platform
