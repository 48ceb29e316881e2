// Opening a target (an address, a document, a program) with the desktop's
// default handler, on behalf of a host window.
#pragma once

namespace vtl::shell {

// What the desktop does with a target: true when it took the request.
using Opener = bool (*)(void* window, const char* target);

// The whole of VTLInternet: 1 when the opener took the target, else 0. A
// null or empty target is refused without asking the opener.
int Internet(void* window, const char* target, Opener opener) noexcept;

}  // namespace vtl::shell
