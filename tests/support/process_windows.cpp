// Starting a program on Windows: CreateProcessW with inheritable file
// handles as its standard streams; there is no POSIX shell to redirect.
#include <windows.h>

#include "platform/windows/handle.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace tarn::test {
namespace {

HANDLE OpenInherited(const std::filesystem::path& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.wstring().c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

namespace detail {

std::wstring QuoteArg(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace detail

ProgramRun RunProgram(const std::filesystem::path& program, const std::string& input,
                      const std::vector<std::string>& args) {
  TempDir io;
  WriteFile(io.path() / "in", input);
  ProgramRun run;
  {
    Handle in(OpenInherited(io.path() / "in", false));
    Handle out(OpenInherited(io.path() / "out", true));
    Handle err(OpenInherited(io.path() / "err", true));
    if (!in.ok() || !out.ok() || !err.ok()) return run;

    std::wstring commandLine = detail::QuoteArg(program.wstring());
    for (const std::string& arg : args) commandLine += L" " + detail::QuoteArg(Utf8Path(arg).wstring());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process))
      return run;
    Handle processHandle(process.hProcess);
    Handle threadHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) run.exitCode = static_cast<int>(code);
  }
  run.out = ReadFile(io.path() / "out");
  run.err = ReadFile(io.path() / "err");
  return run;
}

}  // namespace tarn::test
