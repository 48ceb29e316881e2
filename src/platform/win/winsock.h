// Windows Sockets for the platform layer and its tests.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h before windows.h, which would otherwise bring the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// (kept apart so that sorting includes cannot put it first)
#include <windows.h>

#include <memory>
#include <string>

#include "platform/platform.h"

namespace vtl::platform::win {

// The version every start of the sockets layer asks for: getaddrinfo needs 2.2.
inline constexpr WORD kWinsockVersion = MAKEWORD(2, 2);

// One start of the sockets layer, cleaned up when it goes. Starts nest, so
// each user holds its own and the count is back where it was afterwards.
class WinsockSession {
 public:
  explicit WinsockSession(WORD version = kWinsockVersion) {
    WSADATA data;
    started_ = WSAStartup(version, &data) == 0;
  }
  ~WinsockSession() {
    if (started_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;

  bool started() const { return started_; }

 private:
  bool started_ = false;
};

// A Network whose every connection starts the sockets layer with `version`
// (a version Windows does not offer makes the start-up fail, as tests need).
std::unique_ptr<Network> NewWinsockNetwork(WORD version);

// The offset from UTC in force now, in minutes east of Greenwich, from what
// GetTimeZoneInformation gave: its bias plus the standard or daylight bias
// of the period it says is current.
int UtcOffsetMinutes(DWORD zoneId, const TIME_ZONE_INFORMATION& zone);

// Words of our own for a file's Windows errors, the same as POSIX's for the
// same fault (platform/file_words.h).
std::string FileErrorWords(DWORD error);

}  // namespace vtl::platform::win
