#include "host/win/runtime_locator.h"

#include <algorithm>

namespace tarn {
namespace {

struct UpdaterHive {
  RegistryRoot root;
  std::wstring_view prefix;
};

constexpr UpdaterHive kHives[] = {
    {RegistryRoot::LocalMachine, L"SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\"},
    {RegistryRoot::LocalMachine, L"SOFTWARE\\Microsoft\\EdgeUpdate\\"},
    {RegistryRoot::CurrentUser, L"SOFTWARE\\Microsoft\\EdgeUpdate\\"},
};

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

// A folder path from the registry is used only when it is absolute (a
// drive or a network share) and names no parent folder, so a damaged or
// planted value cannot send the loader somewhere relative to the program.
bool UsableFolder(const std::wstring& path) {
  if (path.size() < 3 || path.find(L'\0') != std::wstring::npos) return false;
  const bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                     path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
  const bool share = path[0] == L'\\' && path[1] == L'\\';
  if (!drive && !share) return false;
  const std::wstring padded = L"\\" + path + L"\\";
  return padded.find(L"\\..\\") == std::wstring::npos && padded.find(L"/../") == std::wstring::npos;
}

// "pv" holds the installed version as dotted numbers; an uninstalled
// runtime can leave "0.0.0.0" or nothing behind.
bool UsableVersion(const std::wstring& version) {
  if (version.empty() || version.size() > 32) return false;
  bool nonZero = false;
  for (wchar_t c : version) {
    if (c != L'.' && (c < L'0' || c > L'9')) return false;
    if (c >= L'1' && c <= L'9') nonZero = true;
  }
  return nonZero && version.front() != L'.' && version.back() != L'.';
}

}  // namespace

std::vector<std::wstring> WebViewClientCandidates(const RegistryReader& read) {
  std::vector<std::wstring> out;
  const std::wstring library(kWebViewClientLibrary);
  const auto add = [&out, &library](const std::wstring& versionFolder) {
    const std::wstring path = versionFolder + L"\\" + library;
    if (std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
  };
  for (const std::wstring_view channel : kWebViewChannels) {
    const std::wstring product(channel);
    for (const UpdaterHive& hive : kHives) {
      const std::wstring prefix(hive.prefix);
      // The updater's own note of the version folder.
      if (const auto folder = read({hive.root, prefix + L"ClientState\\" + product, L"EBWebView"})) {
        const std::wstring f = WithoutTrailingSeparators(*folder);
        if (UsableFolder(f)) add(f);
      }
      // The install folder and the version installed in it.
      const auto location = read({hive.root, prefix + L"Clients\\" + product, L"location"});
      const auto version = read({hive.root, prefix + L"Clients\\" + product, L"pv"});
      if (location && version && UsableVersion(*version)) {
        const std::wstring l = WithoutTrailingSeparators(*location);
        if (UsableFolder(l)) add(l + L"\\" + *version);
      }
    }
  }
  return out;
}

std::wstring FindWebViewClient(const RegistryReader& read, const std::function<bool(const std::wstring&)>& exists) {
  for (const std::wstring& candidate : WebViewClientCandidates(read))
    if (exists(candidate)) return candidate;
  return {};
}

}  // namespace tarn
