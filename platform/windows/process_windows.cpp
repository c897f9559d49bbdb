#include <windows.h>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/windows/handle.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

// UTF-8 straight into one wide buffer, so the password passes through no
// intermediate text that would be freed unwiped. Ill-formed bytes become
// U+FFFD, as everywhere else.
std::wstring WideCommandLine(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

struct WipedWide {
  std::wstring text;
  ~WipedWide() { SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t)); }
};

struct Search {
  HANDLE h;
  ~Search() {
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
  }
};

}  // namespace

bool FolderHasMatch(const std::string& folder, std::string_view pattern) {
  WIN32_FIND_DATAW found;
  Search search{FindFirstFileW(ToWide(JoinPath(folder, pattern)).c_str(), &found)};
  return search.h != INVALID_HANDLE_VALUE;
}

Result<uint32_t, uint32_t> StartProgram(const std::string& application, const std::string& commandLine,
                                        const std::string& workingFolder) {
  // CreateProcessW may write into the command line, so it gets a buffer of
  // its own.
  WipedWide line{WideCommandLine(commandLine)};
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(ToWide(application).c_str(), line.text.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      ToWide(workingFolder).c_str(), &startup, &info)) {
    return Fail(static_cast<uint32_t>(GetLastError()));
  }
  Handle thread(info.hThread);
  Handle process(info.hProcess);
  return static_cast<uint32_t>(info.dwProcessId);
}

}  // namespace tarn

namespace tarn {

// The game is a Windows program: nothing stands between it and the system.
GameRuntime GameRuntimeFor(const std::string&) { return GameRuntime::Ready; }

bool PrepareGameRuntime(const std::atomic<bool>&) { return true; }

}  // namespace tarn
