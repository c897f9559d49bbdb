// The reference service and the operator tools are Linux programs; the
// Windows tests run under Wine on Linux, and Wine starts a program that is
// not a Windows one as a plain Unix process. It hands back no process
// handle, so a small shell wrapper reports the process id and the exit
// code through files, and ends the service should the test process vanish
// without stopping it.
#include <windows.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/http.h"
#include "support/run_program.h"
#include "support/service_fixture.h"

namespace tarn::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

using detail::ToolPath;

namespace {

// Starts /bin/sh with these arguments (argv[0] included) and returns at
// once.
bool StartShell(const std::vector<std::string>& argv) {
  std::wstring commandLine;
  for (const std::string& arg : argv) commandLine += (commandLine.empty() ? L"" : L" ") + detail::QuoteArg(Utf8Path(arg).wstring());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return false;
  if (process.hThread) CloseHandle(process.hThread);
  if (process.hProcess) CloseHandle(process.hProcess);
  return true;
}

// A whole line written by the wrapper ("123\n"), or nothing yet.
bool ReadNumberFile(const fs::path& path, long long& value) {
  const std::string text = ReadFile(path);
  if (text.empty() || text.back() != '\n') return false;
  value = std::atoll(text.c_str());
  return true;
}

bool WaitForNumber(const fs::path& path, std::chrono::milliseconds limit, long long& value) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ReadNumberFile(path, value)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// This process as the Unix kernel numbers it: Wine opens /proc/self as the
// process itself.
long long UnixProcessId() {
  std::ifstream stat("Z:\\proc\\self\\stat");
  long long pid = 0;
  stat >> pid;
  return pid > 0 ? pid : 0;
}

int Exchange(int port, const std::string& method, const std::string& path, const std::string& body) {
  HttpRequest request;
  request.host = "127.0.0.1";
  request.port = static_cast<uint16_t>(port);
  request.method = method;
  request.target = path;
  request.body = body;
  request.userAgent = "tarn-test";
  request.timeouts.totalMs = 10000;
  return static_cast<int>(SendHttpRequest(request, {}).status);
}

}  // namespace

std::string detail::ToolPath(const fs::path& path) {
  // Drive Z: is the Unix root.
  std::string text = PathUtf8(path);
  if (text.size() > 2 && (text[0] == 'Z' || text[0] == 'z') && text[1] == ':') {
    text.erase(0, 2);
    for (char& c : text)
      if (c == '\\') c = '/';
    return text;
  }
  using ToUnix = char*(CDECL*)(LPCWSTR);
  static const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!toUnix) return PathUtf8(path);
  char* unix = toUnix(fs::absolute(path).wstring().c_str());
  if (!unix) return PathUtf8(path);
  std::string out = unix;
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

int detail::RunQuiet(const std::vector<std::string>& argv, const fs::path& output) {
  const fs::path exitFile = fs::path(output).concat(".exit");
  std::vector<std::string> shell = {"sh", "-c", "o=$1; shift; \"$@\" >\"$o\" 2>&1; echo $? >\"$o.exit\"", "sh",
                                    ToolPath(output)};
  shell.insert(shell.end(), argv.begin(), argv.end());
  long long code = -1;
  if (!StartShell(shell) || !WaitForNumber(exitFile, 120s, code)) return -1;
  return static_cast<int>(code);
}

ServiceProcess::ServiceProcess() = default;

ServiceProcess::~ServiceProcess() { Stop(); }

bool ServiceProcess::Start(const ServiceOptions& options) {
  Stop();
  error_.clear();
  work_ = std::make_unique<TempDir>();
  const fs::path& w = work_->path();
  std::vector<std::string> argv = {
      "sh", "-c",
      // The service's own pid and exit code come back through files; a
      // watcher ends the service when the test process is gone.
      "o=$1 e=$2 p=$3 x=$4 t=$5; shift 5\n"
      "\"$@\" >\"$o\" 2>\"$e\" & s=$!\n"
      "echo $s >\"$p\"\n"
      "g=0; if [ \"$t\" -gt 0 ]; then (while kill -0 \"$t\" 2>/dev/null; do sleep 1; done; kill \"$s\" 2>/dev/null) & g=$!; fi\n"
      "wait \"$s\"; c=$?; [ \"$g\" -gt 0 ] && kill \"$g\" 2>/dev/null; echo $c >\"$x\"\n",
      "sh", ToolPath(w / "stdout"), ToolPath(w / "stderr"), ToolPath(w / "pid"), ToolPath(w / "exit"),
      std::to_string(UnixProcessId()), ServiceProgram().string(), "--site", ToolPath(options.site), "--port",
      std::to_string(options.port), "--access-log", ToolPath(w / "access.log"), "--ready-file", ToolPath(w / "ready"),
      "--ticket-ttl", std::to_string(options.ticketTtlSeconds), "--control"};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  if (!StartShell(argv)) {
    error_ = "could not start /bin/sh through Wine";
    return false;
  }
  long long pid = 0;
  if (!WaitForNumber(w / "pid", 10s, pid) || pid <= 0) {
    error_ = "the service wrapper reported no process id";
    return false;
  }
  pid_ = static_cast<pid_t>(pid);

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    long long code = 0;
    if (ReadNumberFile(w / "exit", code)) {
      pid_ = -1;
      error_ = "tarn-service ended at start (exit " + std::to_string(code) + "): " + ErrorOutput();
      return false;
    }
    long long port = 0;
    if (ReadNumberFile(w / "ready", port) && port > 0) {
      port_ = static_cast<int>(port);
      if (Exchange(port_, "GET", "/control/faults", "") == 200) return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  error_ = "tarn-service did not accept connections within 10 s: " + ErrorOutput();
  Stop();
  return false;
}

void ServiceProcess::Stop() {
  if (pid_ <= 0) return;
  const std::string pid = std::to_string(pid_);
  const fs::path exitFile = work_->path() / "exit";
  long long code = 0;
  StartShell({"sh", "-c", "kill -TERM \"$1\" 2>/dev/null", "sh", pid});
  // A program started by Wine may inherit a signal mask that holds the
  // polite request back; the service keeps nothing that needs a clean end.
  if (!WaitForNumber(exitFile, 500ms, code)) {
    StartShell({"sh", "-c", "kill -KILL \"$1\" 2>/dev/null", "sh", pid});
    WaitForNumber(exitFile, 5s, code);
  }
  pid_ = -1;
}

bool ServiceProcess::SetFaults(const std::string& flags) {
  return running() && Exchange(port_, "POST", "/control/faults", flags) == 200;
}

std::string ServiceProcess::AccessLogText() const {
  if (!work_) return "";
  // Requests still being answered get their lines first.
  if (running()) Exchange(port_, "GET", "/control/sync", "");
  return ReadFile(work_->path() / "access.log");
}

}  // namespace tarn::test
