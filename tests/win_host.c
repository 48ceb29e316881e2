/* A host application as Windows programs are written: it loads vtl.dll at
 * run time, finds the function by its plain name and calls it through a
 * pointer declared with the standard calling convention (WINAPI), as
 * Visual Basic, VBA and Delphi hosts declare it. It does not include vtl.h.
 *
 *   vtl_host DLL TEXTS-FILE [FUNCTION]             VTLSendMail, or FUNCTION
 *   vtl_host DLL --open TARGET-FILE [VTLInternetW] VTLInternet, with no window
 *   vtl_host DLL --unload                          threads that called outlive the DLL
 *
 * TEXTS-FILE holds the arguments of the send function, the seven of
 * VTLSendMail and VTLSendMailW or the nine of VTLSendMailEx and
 * VTLSendMailExW, each ending in a zero; TARGET-FILE holds the target. For
 * the W functions these are UTF-16 (little-endian, as Windows has it), each
 * ending in a zero of two bytes. Prints "result N" and exits with N; 100
 * and above mean the host itself failed.
 *
 * --unload: a thread loads the DLL, makes a call (a bad argument: no
 * network), reads the detail, unloads the DLL and ends. Then another thread
 * makes a call to the DLL the main thread loaded, the main thread unloads
 * it and loads it again, and that thread, which has made no call to the DLL
 * as it is now, must read an empty detail before it ends. Storage the DLL
 * left a destructor in for a thread's end would crash or hang the host
 * here, or keep the DLL loaded (107). Prints the two details and "threads
 * ended after the unload", and exits with 0. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef LONG(WINAPI* SendMailProc)(LPCSTR server, LPCSTR fromAddress, LPCSTR fromName,
                                   LPCSTR toAddress, LPCSTR toName, LPCSTR subject, LPCSTR body);
typedef LONG(WINAPI* SendMailWProc)(LPCWSTR server, LPCWSTR fromAddress, LPCWSTR fromName,
                                    LPCWSTR toAddress, LPCWSTR toName, LPCWSTR subject,
                                    LPCWSTR body);
typedef LONG(WINAPI* SendMailExProc)(LPCSTR server, LPCSTR from, LPCSTR to, LPCSTR cc, LPCSTR bcc,
                                     LPCSTR subject, LPCSTR body, LPCSTR attachments,
                                     LPCSTR headers);
typedef LONG(WINAPI* SendMailExWProc)(LPCWSTR server, LPCWSTR from, LPCWSTR to, LPCWSTR cc,
                                      LPCWSTR bcc, LPCWSTR subject, LPCWSTR body,
                                      LPCWSTR attachments, LPCWSTR headers);
typedef LONG(WINAPI* InternetProc)(HWND window, LPCSTR target);
typedef LONG(WINAPI* InternetWProc)(HWND window, LPCWSTR target);
typedef LONG(WINAPI* LastErrorProc)(LPSTR buffer, LONG size);

enum { kMaxArguments = 9, kDetailSize = 1025 };

struct Unload {
  const char* dll;
  HMODULE library; /* the second thread's DLL, loaded by the main thread */
  HMODULE again;   /* the same, loaded again */
  HANDLE called;   /* set by the second thread once it has made its call */
  HANDLE unloaded; /* set by the main thread once the DLL is loaded again */
  volatile LONG failed;
  char detail[2][kDetailSize];
};

static LastErrorProc LastError(HMODULE library) {
  return (LastErrorProc)(void (*)(void))GetProcAddress(library, "VTLLastError");
}

/* VTLSendMail with a bad argument, and its detail read into `detail`. */
static int CallAndRead(HMODULE library, LPCSTR server, LPCSTR from, char* detail) {
  const SendMailProc send = (SendMailProc)(void (*)(void))GetProcAddress(library, "VTLSendMail");
  const LastErrorProc last = LastError(library);
  LONG length;
  if (send == NULL || last == NULL) return 0;
  if (send(server, from, "A", "b@example.com", "B", "S", "x") != 5) return 0;
  length = last(NULL, 0);
  return length > 0 && length < kDetailSize && last(detail, kDetailSize) == length &&
         strlen(detail) == (size_t)length;
}

static DWORD WINAPI LoadCallUnload(LPVOID argument) {
  struct Unload* u = (struct Unload*)argument;
  const HMODULE library = LoadLibraryA(u->dll);
  if (library == NULL || !CallAndRead(library, "", "a@example.com", u->detail[0])) u->failed = 1;
  if (library != NULL) FreeLibrary(library);
  return 0;
}

static DWORD WINAPI CallThenOutliveTheDll(LPVOID argument) {
  struct Unload* u = (struct Unload*)argument;
  LastErrorProc last;
  if (!CallAndRead(u->library, "127.0.0.1", NULL, u->detail[1])) u->failed = 1;
  SetEvent(u->called);
  WaitForSingleObject(u->unloaded, INFINITE);
  last = u->again != NULL ? LastError(u->again) : NULL;
  if (last == NULL || last(NULL, 0) != 0) u->failed = 1;
  return 0;
}

/* Waits for the thread to end. One that does not within 30 s is stuck in
 * its end (the loader's lock held, as when a destructor left for it
 * unloads the DLL from there): the process could not exit either, so it is
 * terminated, with 108. */
static void AwaitEnd(HANDLE thread) {
  if (WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0) {
    CloseHandle(thread);
    return;
  }
  fprintf(stderr, "a thread did not end after the unload\n");
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 108);
}

static int Unload(const char* dll) {
  static struct Unload u;
  HANDLE thread;
  int unloaded;
  u.dll = dll;
  thread = CreateThread(NULL, 0, LoadCallUnload, &u, 0, NULL);
  if (thread == NULL) return 105;
  AwaitEnd(thread);
  if (u.failed) return 106;
  /* Else the test would show nothing. */
  if (GetModuleHandleA(dll) != NULL) return 107;

  u.library = LoadLibraryA(dll);
  u.called = CreateEventA(NULL, TRUE, FALSE, NULL);
  u.unloaded = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (u.library == NULL) return 103;
  if (u.called == NULL || u.unloaded == NULL) return 105;
  thread = CreateThread(NULL, 0, CallThenOutliveTheDll, &u, 0, NULL);
  if (thread == NULL) return 105;
  WaitForSingleObject(u.called, INFINITE);
  FreeLibrary(u.library);
  unloaded = GetModuleHandleA(dll) == NULL;
  u.again = LoadLibraryA(dll);
  SetEvent(u.unloaded);
  AwaitEnd(thread);
  if (u.again != NULL) FreeLibrary(u.again);
  if (u.failed) return 106;
  if (!unloaded) return 107;
  printf("detail 1: %s\ndetail 2: %s\n", u.detail[0], u.detail[1]);
  printf("threads ended after the unload\n");
  return 0;
}

/* Calls the send function `name` with the texts, or gives 104 when the DLL
 * has no such function. */
static LONG Send(HMODULE library, const char* name, const void* const* t) {
  const FARPROC f = GetProcAddress(library, name);
  if (f == NULL) return 104;
  if (strcmp(name, "VTLSendMailW") == 0)
    return ((SendMailWProc)(void (*)(void))f)(t[0], t[1], t[2], t[3], t[4], t[5], t[6]);
  if (strcmp(name, "VTLSendMailEx") == 0)
    return ((SendMailExProc)(void (*)(void))f)(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7],
                                               t[8]);
  if (strcmp(name, "VTLSendMailExW") == 0)
    return ((SendMailExWProc)(void (*)(void))f)(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7],
                                                t[8]);
  return ((SendMailProc)(void (*)(void))f)(t[0], t[1], t[2], t[3], t[4], t[5], t[6]);
}

int main(int argc, char** argv) {
  /* WCHARs, so that UTF-16 texts are aligned; two zero bytes end the last. */
  static WCHAR texts[1 << 19];
  char* const bytes = (char*)texts;
  const void* args[kMaxArguments];
  size_t size;
  size_t at = 0;
  int n;
  FILE* f;
  HMODULE library;
  LONG result;
  const int opening = (argc == 4 || argc == 5) && strcmp(argv[2], "--open") == 0;
  const char* function =
      opening ? (argc == 5 ? argv[4] : "VTLInternet") : (argc == 4 ? argv[3] : "VTLSendMail");
  const size_t unit = function[strlen(function) - 1] == 'W' ? sizeof(WCHAR) : 1;
  const int count = strstr(function, "Ex") != NULL ? 9 : 7;

  if (argc == 3 && strcmp(argv[2], "--unload") == 0) return Unload(argv[1]);
  if (argc != 3 && argc != 4 && !opening) {
    fprintf(stderr,
            "usage: vtl_host DLL TEXTS-FILE [FUNCTION] | vtl_host DLL --open TARGET-FILE"
            " [VTLInternetW] | vtl_host DLL --unload\n");
    return 100;
  }
  f = fopen(argv[opening ? 3 : 2], "rb");
  if (f == NULL) return 101;
  size = fread(bytes, 1, sizeof texts - sizeof(WCHAR), f);
  fclose(f);
  memset(bytes + size, 0, sizeof(WCHAR));

  library = LoadLibraryA(argv[1]);
  if (library == NULL) return 103;
  if (opening) {
    const FARPROC open = GetProcAddress(library, function);
    if (open == NULL) return 104;
    result = unit == 1 ? ((InternetProc)(void (*)(void))open)(NULL, bytes)
                       : ((InternetWProc)(void (*)(void))open)(NULL, texts);
    FreeLibrary(library);
    printf("result %ld\n", (long)result);
    return (int)result;
  }
  for (n = 0; n < count; ++n) {
    if (at >= size) return 102;
    args[n] = bytes + at;
    while (at < size && (bytes[at] != '\0' || (unit == 2 && bytes[at + 1] != '\0'))) at += unit;
    at += unit;
  }

  result = Send(library, function, args);
  FreeLibrary(library);
  printf("result %ld\n", (long)result);
  return (int)result;
}
