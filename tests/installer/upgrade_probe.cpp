// Plays the running launcher for upgrade_test.sh under Wine: the platform's
// replacement calls from wherever the test put this program (signed or not,
// in the installed folder or as a folder copy's tarn-launcher.exe).
//
//   upgrade-probe check FILE          prints not-needed, matches or refused
//   upgrade-probe trust CERT.der      the prefix's user trusts CERT as a root
//   upgrade-probe upgrade FILE MS     takes the single-instance guard, starts
//                                     the upgrade, holds the guard MS more
//                                     milliseconds and ends
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/common/window_layout.h"
#include "platform/file.h"
#include "platform/program_update.h"
#include "platform/windows/wide.h"

namespace {

using namespace tarn;

int Check(const std::string& file) {
  switch (CheckPublisher(file)) {
    case PublisherCheck::NotNeeded: std::puts("not-needed"); break;
    case PublisherCheck::Matches: std::puts("matches"); break;
    case PublisherCheck::Refused: std::puts("refused"); break;
  }
  return 0;
}

int Trust(const std::string& certFile) {
  std::string der;
  if (!ReadWholeFile(certFile, der)) return 2;
  return CertAddEncodedCertificateToSystemStoreW(L"Root", reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()))
             ? 0
             : 1;
}

int Upgrade(const std::string& file, DWORD holdMs) {
  const HANDLE guard = CreateMutexW(nullptr, TRUE, ToWide(kSingleInstanceName).c_str());
  if (!guard || GetLastError() == ERROR_ALREADY_EXISTS) return 3;
  const RunningProgram running = DescribeRunningProgram();
  std::printf("%s\n", running.kind == ProgramInstall::Installer ? "installer" : "folder");
  const auto started = StartUpgrade(running, file);
  std::printf("%s\n", started ? "started" : "failed");
  std::fflush(stdout);
  Sleep(holdMs);
  ReleaseMutex(guard);
  CloseHandle(guard);
  return started ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring verb = argv[1];
  const std::string file = FromWide(argv[2]);
  if (verb == L"check") return Check(file);
  if (verb == L"trust") return Trust(file);
  if (verb == L"upgrade" && argc == 4) return Upgrade(file, static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
  return 2;
}
