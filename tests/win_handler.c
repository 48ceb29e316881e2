/* A stand-in for the program a desktop association starts: registered by
 * the launcher tests as the "open" command of a file type and of a URL
 * protocol, with the command line "HANDLER" "%1". It writes what it was
 * given in place of %1, as UTF-8 and exactly as the shell passed it, to the
 * file named by the environment variable VTL_HANDLER_OUT. */
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

int main(void) {
  const wchar_t* line = GetCommandLineW();
  const wchar_t* arg;
  size_t length;
  char path[MAX_PATH];
  char temporary[MAX_PATH + 8];
  char* text;
  int size;
  HANDLE file;
  DWORD written = 0;

  /* Past the quoted program name and one space; then the quotes around %1
   * are taken off, and nothing else. */
  if (line[0] != L'"') return 2;
  arg = wcschr(line + 1, L'"');
  if (arg == NULL) return 2;
  arg += 1;
  while (*arg == L' ') ++arg;
  length = wcslen(arg);
  if (length >= 2 && arg[0] == L'"' && arg[length - 1] == L'"') {
    arg += 1;
    length -= 2;
  }

  if (GetEnvironmentVariableA("VTL_HANDLER_OUT", path, MAX_PATH) == 0) return 3;
  size = WideCharToMultiByte(CP_UTF8, 0, arg, (int)length, NULL, 0, NULL, NULL);
  text = (char*)malloc((size_t)size + 1);
  if (text == NULL) return 4;
  WideCharToMultiByte(CP_UTF8, 0, arg, (int)length, text, size, NULL, NULL);

  /* Written aside and renamed, so that a reader never sees half of it. */
  strcpy(temporary, path);
  strcat(temporary, ".part");
  file = CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 5;
  WriteFile(file, text, (DWORD)size, &written, NULL);
  CloseHandle(file);
  free(text);
  return MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING) ? 0 : 6;
}
