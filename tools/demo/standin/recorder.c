/* The demo site's stand-in for the game client: a tiny Windows program that
 * only writes down how it was started, so a player (or a test) can see that
 * the launcher started it and with which command line. The record,
 * launch-record.txt beside the program, is UTF-8:
 *   folder: <working folder>
 *   command line: <GetCommandLineW text>
 * It carries the account's password as the launcher passed it: the demo's
 * accounts are public, and seeing the whole line is the point. While a file
 * launch-hold lies beside the program (a test looking at the running game),
 * it stays, for a minute at most. */
#include <windows.h>

static char *ToUtf8(const wchar_t *text, int *length) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
  char *out = n > 0 ? (char *)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)n) : NULL;
  if (out == NULL || WideCharToMultiByte(CP_UTF8, 0, text, -1, out, n, NULL, NULL) != n) return NULL;
  *length = n - 1; /* without the terminating NUL */
  return out;
}

static BOOL Put(HANDLE file, const char *bytes, int length) {
  DWORD written = 0;
  return WriteFile(file, bytes, (DWORD)length, &written, NULL) && written == (DWORD)length;
}

static BOOL PutLine(HANDLE file, const char *label, const wchar_t *text) {
  int length = 0;
  char *utf8 = ToUtf8(text, &length);
  BOOL ok = utf8 != NULL && Put(file, label, lstrlenA(label)) && Put(file, utf8, length) && Put(file, "\n", 1);
  if (utf8 != NULL) HeapFree(GetProcessHeap(), 0, utf8);
  return ok;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show) {
  static wchar_t record[32768];
  static wchar_t folder[32768];
  DWORD n = GetModuleFileNameW(NULL, record, 32768 - 32);
  wchar_t *slash = NULL;
  HANDLE file;
  BOOL ok;
  (void)instance;
  (void)previous;
  (void)arguments;
  (void)show;
  if (n == 0 || n >= 32768 - 32) return 2;
  for (wchar_t *p = record; *p != 0; ++p)
    if (*p == L'\\' || *p == L'/') slash = p;
  if (slash == NULL) return 2;
  lstrcpyW(slash + 1, L"launch-record.txt");
  if (GetCurrentDirectoryW(32768, folder) == 0) folder[0] = 0;

  file = CreateFileW(record, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 3;
  ok = PutLine(file, "folder: ", folder) && PutLine(file, "command line: ", GetCommandLineW());
  ok = CloseHandle(file) && ok;
  lstrcpyW(slash + 1, L"launch-hold");
  for (int tick = 0; tick < 600 && GetFileAttributesW(record) != INVALID_FILE_ATTRIBUTES; ++tick) Sleep(100);
  return ok ? 0 : 4;
}
