#include <windows.h>
// wintrust.h and softpub.h need windows.h first.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <optional>
#include <vector>

#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/program_update.h"
#include "platform/windows/handle.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

// Where the installer records the folder the player chose (installer.nsi:
// UNINSTALL_KEY, "InstallLocation").
constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TarnLauncher";
constexpr wchar_t kInstallLocation[] = L"InstallLocation";
// Beside the program: what a folder copy's swap renamed aside.
constexpr char kLeftAsideSuffix[] = ".old";

std::string InstalledFolder() {
  // A folder name is short; anything longer than a path may be is not ours.
  wchar_t buf[MAX_PATH + 1] = {};
  DWORD size = sizeof buf - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, kInstallLocation, RRF_RT_REG_SZ, nullptr, buf, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return FromWide(buf);
}

// Windows names one folder in any mix of letter cases.
bool SameFolder(const std::string& a, const std::string& b) {
  const std::wstring wa = ToWide(FullPath(a));
  const std::wstring wb = ToWide(FullPath(b));
  if (wa.empty() || wb.empty()) return false;
  return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(), static_cast<int>(wb.size()),
                              TRUE) == CSTR_EQUAL;
}

struct CertStoreTraits {
  using Value = HCERTSTORE;
  static Value None() { return nullptr; }
  static bool Free(Value h) { return CertCloseStore(h, 0) != 0; }
};
struct CryptMsgTraits {
  using Value = HCRYPTMSG;
  static Value None() { return nullptr; }
  static bool Free(Value h) { return CryptMsgClose(h) != 0; }
};
struct CertContextTraits {
  using Value = PCCERT_CONTEXT;
  static Value None() { return nullptr; }
  static bool Free(Value h) { return CertFreeCertificateContext(h) != 0; }
};

// The subject of the certificate that signed the file (its DER bytes), or
// nothing when the file carries no Authenticode signature.
std::optional<std::string> SignerSubject(const std::string& path) {
  UniqueHandle<CertStoreTraits> store;
  UniqueHandle<CryptMsgTraits> message;
  DWORD encoding = 0, content = 0, format = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, ToWide(path).c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, store.Out(), message.Out(),
                        nullptr)) {
    return std::nullopt;
  }
  DWORD size = 0;
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0 ||
      size > (1u << 20)) {
    return std::nullopt;
  }
  std::vector<unsigned char> buf(size);
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buf.data(), &size)) return std::nullopt;
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buf.data());
  CERT_INFO wanted{};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  UniqueHandle<CertContextTraits> cert(CertFindCertificateInStore(
      store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
  if (!cert) return std::nullopt;
  const CERT_NAME_BLOB& subject = cert.get()->pCertInfo->Subject;
  return std::string(reinterpret_cast<const char*>(subject.pbData), subject.cbData);
}

// Whether the system trusts the file's signature: its digest matches the
// file and its chain ends at a trusted root. Never a window, and no wait on
// the network for revocation lists: the player is at the launcher, not at
// a prompt.
bool SignatureTrusted(const std::string& path) {
  const std::wstring wide = ToWide(path);
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = wide.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return status == ERROR_SUCCESS;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

RunningProgram DescribeRunningProgram() {
  RunningProgram running{ProgramInstall::Folder, ExePath(), ExeDir()};
  const std::string installed = InstalledFolder();
  if (!installed.empty() && SameFolder(installed, running.folder)) running.kind = ProgramInstall::Installer;
  return running;
}

PublisherCheck CheckPublisher(const std::string& file) {
  const std::optional<std::string> ours = SignerSubject(ExePath());
  if (!ours) return PublisherCheck::NotNeeded;
  if (!SignatureTrusted(file)) return PublisherCheck::Refused;
  const std::optional<std::string> theirs = SignerSubject(file);
  return theirs && *theirs == *ours ? PublisherCheck::Matches : PublisherCheck::Refused;
}

// The installer (installer.nsi) knows /UPGRADE: wait, bounded, until the
// single-instance guard is free, install over, start the new launcher. With
// /PORTABLE it writes only the program's files into the /D folder, which
// must come last and unquoted.
Result<void, UpgradeError> StartUpgrade(const RunningProgram& program, const std::string& downloaded) {
  if (program.kind == ProgramInstall::Package) return Fail(UpgradeError::Unsupported);
  if (!IsFile(downloaded)) return Fail(UpgradeError::Unpack);
  // The installer runs from where it was downloaded, holding no folder it
  // writes to.
  const std::string setupFolder = FullPath(downloaded + "\\..");
  if (program.kind == ProgramInstall::Installer) {
    if (!StartProgram(downloaded, Quoted(downloaded) + " /S /UPGRADE", setupFolder)) return Fail(UpgradeError::Start);
    return {};
  }
  // A running image may be renamed but not overwritten: the new program
  // takes the name, the old one leaves at the next start.
  const std::string aside = program.program + kLeftAsideSuffix;
  RemoveProgramLeftAside(program);
  if (!MoveFileExW(ToWide(program.program).c_str(), ToWide(aside).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return Fail(UpgradeError::Locked);
  }
  if (!StartProgram(downloaded, Quoted(downloaded) + " /S /UPGRADE /PORTABLE /D=" + program.folder, setupFolder)) {
    MoveFileExW(ToWide(aside).c_str(), ToWide(program.program).c_str(), MOVEFILE_WRITE_THROUGH);
    return Fail(UpgradeError::Start);
  }
  return {};
}

void RemoveProgramLeftAside(const RunningProgram& program) {
  // Still held (the old launcher not yet gone, an antivirus reading it):
  // the next start tries again.
  RemoveFile(program.program + kLeftAsideSuffix);
}

}  // namespace tarn
