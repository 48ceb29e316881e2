// Opening a target (an address, a document, a program) with the desktop's
// default handler, on behalf of a host window.
#pragma once

#include <string>

namespace vtl::shell {

// What the desktop does with a target: true when it took the request;
// `detail` says which handler was tried and why it did not take it.
using Opener = bool (*)(void* window, const char* target, std::string& detail);

// The whole of VTLInternet: 1 when the opener took the target, else 0. A
// null or empty target is refused without asking the opener. `detail`
// says why, in one line.
int Internet(void* window, const char* target, Opener opener, std::string& detail) noexcept;

}  // namespace vtl::shell
