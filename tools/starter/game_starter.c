/* The game's starter on Linux: a tiny Windows program the launcher runs
 * through wine in place of the game, so the game's command line (which
 * holds the account's password) never stands on a Linux process's argument
 * list, where every local user could read it in /proc/<pid>/cmdline.
 *
 * Standard input carries the command line in UTF-8 and then one NUL byte
 * (without it the line was cut short, and nothing starts), its first piece
 * the game's Unix path in double quotes, the rest exactly as the game is to
 * see it; the starter swaps the path for its Windows form and starts the
 * game.
 * Wine gives a started Windows program a Unix argument list split from the
 * command line it was created with, so the game is created suspended with
 * its quoted path alone, its process parameters then get the whole line,
 * and only then does it run: it reads the line as it would on Windows.
 *
 * Standard output gets one line, "<error> <pid>": 0 and the game's process
 * id once it runs, or the system's error code and 0. The exit code is 0
 * when the game runs, 1 when it does not. Every buffer that held the line is
 * wiped before the starter ends; the game inherits none of its handles and
 * gets no standard streams. */
#include <windows.h>
#include <winternl.h>

/* The longest command line Windows takes, in UTF-16 units, and the most
 * UTF-8 bytes that can encode it. */
#define LINE_UNITS 32768
#define LINE_BYTES (LINE_UNITS * 3)

static char bytes[LINE_BYTES + 1];
static WCHAR wide[LINE_UNITS];
static WCHAR line[LINE_UNITS];
static WCHAR decoy[LINE_UNITS];
static WCHAR application[LINE_UNITS];

static void Report(DWORD error, DWORD pid) {
  char text[32];
  DWORD written = 0;
  int n = wsprintfA(text, "%lu %lu\n", error, pid);
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)n, &written, NULL);
}

static void Wipe(void) {
  SecureZeroMemory(bytes, sizeof bytes);
  SecureZeroMemory(wide, sizeof wide);
  SecureZeroMemory(line, sizeof line);
}

/* The whole of standard input; -1 when it cannot be read or is too long. */
static int ReadInput(void) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD got = 0;
  int total = 0;
  while (total <= LINE_BYTES && ReadFile(in, bytes + total, (DWORD)(LINE_BYTES + 1 - total), &got, NULL) && got > 0)
    total += (int)got;
  return total <= LINE_BYTES ? total : -1;
}

typedef WCHAR *(CDECL *DosNameFn)(const char *);

/* The Windows form of the Unix path between wide[1] and wide[end], into
 * out with its quotes; its length, 0 when there is none. Wine alone knows
 * how its drives map the Unix tree. */
static int QuotedDosPath(int end, WCHAR *out, int room) {
  char unixPath[LINE_BYTES];
  DosNameFn dosName = (DosNameFn)(void (*)(void))GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name");
  WCHAR *dos;
  int n;
  int length;
  if (dosName == NULL) return 0;
  n = WideCharToMultiByte(CP_UTF8, 0, wide + 1, end - 1, unixPath, (int)sizeof unixPath - 1, NULL, NULL);
  if (n <= 0) return 0;
  unixPath[n] = 0;
  dos = dosName(unixPath);
  if (dos == NULL) return 0;
  length = lstrlenW(dos);
  if (length + 2 >= room) length = -2;
  else {
    out[0] = L'"';
    CopyMemory(out + 1, dos, (SIZE_T)length * sizeof(WCHAR));
    out[length + 1] = L'"';
  }
  HeapFree(GetProcessHeap(), 0, dos);
  return length + 2;
}

/* Points the suspended process's parameters at a copy of text in its own
 * memory: what its GetCommandLineW and C runtime will read. A 32-bit game
 * under a 64-bit starter keeps its parameters in its 32-bit block. */
static BOOL GiveCommandLine(HANDLE process, const WCHAR *text, int units) {
  SIZE_T size = ((SIZE_T)units + 1) * sizeof(WCHAR);
  BOOL wow = FALSE;
  void *copy;
  SIZE_T done = 0;
  if (!IsWow64Process(process, &wow)) return FALSE;
  copy = VirtualAllocEx(process, NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (copy == NULL || !WriteProcessMemory(process, copy, text, size, &done) || done != size) return FALSE;
  if (!wow) {
    PROCESS_BASIC_INFORMATION basic;
    PEB peb;
    UNICODE_STRING value;
    ULONG length = 0;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0) return FALSE;
    if (!ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, &done) || peb.ProcessParameters == NULL)
      return FALSE;
    value.Length = (USHORT)(units * sizeof(WCHAR));
    value.MaximumLength = (USHORT)size;
    value.Buffer = (PWSTR)copy;
    return WriteProcessMemory(process, (char *)peb.ProcessParameters + offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine),
                              &value, sizeof value, &done) &&
           done == sizeof value;
  } else {
    /* The 32-bit layouts: the parameters' address at 0x10 of the block,
     * the command line's counted string at 0x40 of the parameters. */
    ULONG_PTR peb32 = 0;
    ULONG params32 = 0;
    ULONG length = 0;
    struct {
      USHORT length;
      USHORT maximum;
      ULONG buffer;
    } value;
    if (NtQueryInformationProcess(process, ProcessWow64Information, &peb32, sizeof peb32, &length) != 0) return FALSE;
    if (peb32 < 0x10000) {
      /* A Wine that runs 32-bit programs as 32-bit Unix processes answers
       * only whether the process is one; its one block is the 32-bit one. */
      PROCESS_BASIC_INFORMATION basic;
      if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0) return FALSE;
      peb32 = (ULONG_PTR)basic.PebBaseAddress;
    }
    if (peb32 == 0 || peb32 > 0xFFFFFFFFu) return FALSE;
    if (!ReadProcessMemory(process, (char *)peb32 + 0x10, &params32, sizeof params32, &done) || params32 == 0)
      return FALSE;
    if ((ULONG_PTR)copy > 0xFFFFFFFFu) return FALSE;
    value.length = (USHORT)(units * sizeof(WCHAR));
    value.maximum = (USHORT)size;
    value.buffer = (ULONG)(ULONG_PTR)copy;
    return WriteProcessMemory(process, (char *)(ULONG_PTR)params32 + 0x40, &value, sizeof value, &done) &&
           done == sizeof value;
  }
}

static int Start(void) {
  int n = ReadInput();
  int units;
  int end;
  int path;
  STARTUPINFOW startup;
  PROCESS_INFORMATION info;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);

  /* The pipe is read to its end: the game must not get it. */
  SetStdHandle(STD_INPUT_HANDLE, NULL);
  if (input != NULL && input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (n < 0) return ERROR_FILENAME_EXCED_RANGE;
  if (n == 0 || bytes[n - 1] != 0) return ERROR_INVALID_DATA;
  --n;
  units = MultiByteToWideChar(CP_UTF8, 0, bytes, n, NULL, 0);
  if (units <= 0) return ERROR_INVALID_DATA;
  if (units >= LINE_UNITS) return ERROR_FILENAME_EXCED_RANGE;
  units = MultiByteToWideChar(CP_UTF8, 0, bytes, n, wide, LINE_UNITS - 1);
  if (units <= 0) return ERROR_INVALID_DATA;
  wide[units] = 0;
  if (wide[0] != L'"') return ERROR_INVALID_DATA;
  for (end = 1; end < units && wide[end] != L'"'; ++end) {
  }
  if (end >= units) return ERROR_INVALID_DATA;

  path = QuotedDosPath(end, line, LINE_UNITS);
  if (path <= 0) return ERROR_BAD_PATHNAME;
  if (path + (units - end - 1) >= LINE_UNITS) return ERROR_FILENAME_EXCED_RANGE;
  /* What Wine may show of the game: its quoted path, and the path alone. */
  CopyMemory(decoy, line, (SIZE_T)path * sizeof(WCHAR));
  decoy[path] = 0;
  CopyMemory(application, line + 1, (SIZE_T)(path - 2) * sizeof(WCHAR));
  application[path - 2] = 0;
  CopyMemory(line + path, wide + end + 1, (SIZE_T)(units - end - 1) * sizeof(WCHAR));
  units = path + units - end - 1;
  line[units] = 0;

  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES; /* none: the game is a window */
  ZeroMemory(&info, sizeof info);
  if (!CreateProcessW(application, decoy, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &info))
    return (int)GetLastError();
  /* A game that did not get its line never runs: it ends still suspended. */
  if (!GiveCommandLine(info.hProcess, line, units) || ResumeThread(info.hThread) == (DWORD)-1) {
    DWORD error = GetLastError();
    TerminateProcess(info.hProcess, 1);
    info.dwProcessId = 0;
    n = error != 0 ? (int)error : ERROR_ACCESS_DENIED;
  } else {
    n = 0;
    Report(0, info.dwProcessId);
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return n;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show) {
  int error;
  (void)instance;
  (void)previous;
  (void)arguments;
  (void)show;
  error = Start();
  Wipe();
  if (error == 0) return 0;
  Report((DWORD)error, 0);
  return 1;
}
