// Opening a target on Windows: the shell's "open" verb, for a target in
// the ANSI code page and for one in UTF-16.
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/win/com.h"
// (after windows.h)
#include <shellapi.h>

namespace vtl::platform {
namespace {

// ShellExecute's error codes in words of our own: FormatMessage would give
// them in the user's language, or not at all for the SE_ERR_ ones, and the
// detail is one line of stable English ASCII.
const char* ShellErrorWords(INT_PTR code) {
  switch (code) {
    case 0:
      return "the system is out of memory or resources";
    case SE_ERR_FNF:  // also ERROR_FILE_NOT_FOUND
      return "no such file";
    case SE_ERR_PNF:  // also ERROR_PATH_NOT_FOUND
      return "no such path";
    case ERROR_BAD_FORMAT:
      return "the program to open it with is not a valid program";
    case SE_ERR_ACCESSDENIED:
      return "access denied";
    case SE_ERR_OOM:
      return "not enough memory";
    case SE_ERR_SHARE:
      return "a sharing violation occurred";
    case SE_ERR_ASSOCINCOMPLETE:
      return "the file type's association is incomplete";
    case SE_ERR_DDETIMEOUT:
      return "the DDE request timed out";
    case SE_ERR_DDEFAIL:
      return "the DDE transaction failed";
    case SE_ERR_DDEBUSY:
      return "the DDE server was busy";
    case SE_ERR_NOASSOC:
      return "no application is associated with this file type";
    case SE_ERR_DLLNOTFOUND:
      return "a DLL it needs was not found";
    default:
      return nullptr;
  }
}

// What ShellExecute's result says, into `detail`; true when the request
// was taken.
bool Taken(HINSTANCE result, std::string& detail) noexcept {
  // Above 32 means success; 32 and below are the shell's error codes.
  const INT_PTR code = reinterpret_cast<INT_PTR>(result);
  // The request has been handed over or not by now: no memory for its words
  // must not change which.
  try {
    if (code > 32) {
      detail = "opened by the shell (ShellExecute open)";
    } else {
      detail = "ShellExecute open failed with " + std::to_string(code);
      if (const char* words = ShellErrorWords(code)) detail.append(": ").append(words);
    }
  } catch (const std::bad_alloc&) {
    detail.clear();
  }
  return code > 32;
}

}  // namespace

bool OpenWithDefaultHandler(void* window, const char* target, std::string& detail) {
  const win::ComForShell com;
  return Taken(
      ShellExecuteA(static_cast<HWND>(window), "open", target, nullptr, nullptr, SW_SHOWNORMAL),
      detail);
}

bool OpenWithDefaultHandlerWide(void* window, const wchar_t* target, std::string& detail) {
  const win::ComForShell com;
  return Taken(
      ShellExecuteW(static_cast<HWND>(window), L"open", target, nullptr, nullptr, SW_SHOWNORMAL),
      detail);
}

}  // namespace vtl::platform
