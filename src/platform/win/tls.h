// The SChannel client over a given SSPI function table, so that tests can
// script what SChannel reports (TLS 1.3 above all, which Wine lacks).
#pragma once

#include "platform/win/winsock.h"  // windows.h, after winsock2.h
// (after windows.h)
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

#include <memory>

#include "platform/platform.h"

namespace vtl::platform::win {

// StartTls through `sspi`'s functions; null: those of the system's
// secur32.dll, as StartTls does.
TlsOutcome StartTlsWith(const SecurityFunctionTableW* sspi, std::unique_ptr<Connection> plain,
                        const TlsPeer& peer);

}  // namespace vtl::platform::win
