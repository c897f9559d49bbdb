#include <windows.h>

#include <string>

#include "platform/paths.h"
#include "platform/windows/wide.h"

namespace tarn {

namespace {

// The executable's full path, as Windows spells it.
std::wstring WideExePath() {
  // MAX_PATH units cover almost every install; a deeper folder would come
  // back cut short and silently point the log and the data folder at a
  // different place, so the buffer grows until the whole path fits.
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    if (buf.size() >= 32768) return {};  // longer than any Win32 path
    buf.resize(buf.size() * 2);
  }
  return buf;
}

}  // namespace

std::string ExePath() { return FromWide(WideExePath()); }

std::string ExeDir() {
  const std::wstring buf = WideExePath();
  const size_t slash = buf.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  // A drive root keeps its separator ("C:\"), or it would name the current
  // folder of that drive instead.
  if (slash > 0 && buf[slash - 1] == L':') return FromWide(std::wstring_view(buf).substr(0, slash + 1));
  return FromWide(std::wstring_view(buf).substr(0, slash));
}

// The program's folder is the player's to write to wherever it was put,
// so its state always stays beside it.
std::string StateDirFor(const std::string& exeDir) { return exeDir; }

char NativeSeparator() { return '\\'; }

bool IsAbsolutePath(std::string_view text) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (text.size() >= 2 && separator(text[0]) && separator(text[1])) return true;
  const bool letter = !text.empty() && ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
  return letter && text.size() >= 3 && text[1] == ':' && separator(text[2]);
}

}  // namespace tarn
