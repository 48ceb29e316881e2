// Reading a POSIX locale name such as "ja_JP.SJIS" without the locale being
// installed.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace vtl::platform {

// language[_territory][.codeset][@modifier] to the language's abbreviation
// ("JPN" for "ja"), the code page the codeset stands for (932 for the
// Shift_JIS names, 65001 for UTF-8, 0 for anything else) and the codeset
// itself, which for a Japanese locale without one is glibc's EUC-JP.
LocaleInfo ParseLocaleName(std::string_view name);

// The first non-empty one of LC_ALL, LC_CTYPE and LANG, as getenv gives them.
std::string_view PickLocaleName(const char* lcAll, const char* lcCtype, const char* lang);

}  // namespace vtl::platform
