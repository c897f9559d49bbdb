#pragma once
// Where the installed WebView2 runtime keeps the library that creates web
// view environments. The runtime's updater records its install in the
// registry; this file turns those records into candidate paths. Plain text
// logic, so it is tested with a registry made up by the test.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// The runtime's product code with its updater (the evergreen runtime).
inline constexpr std::wstring_view kWebViewRuntimeProduct = L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
// The library inside a runtime version folder, for 64-bit programs.
inline constexpr std::wstring_view kWebViewClientLibrary = L"EBWebView\\x64\\EmbeddedBrowserWebView.dll";

enum class RegistryRoot { LocalMachine, CurrentUser };

struct RegistryValueName {
  RegistryRoot root;
  std::wstring key;    // below the root, '\' separated
  std::wstring value;  // the value's name
};

// A string value of the registry, or nothing when it is missing or not text.
using RegistryReader = std::function<std::optional<std::wstring>(const RegistryValueName&)>;

// Every place the client library may be, best first: a machine-wide
// install (the 32-bit view, where the updater writes, then the 64-bit
// one) before a per-user one; in each, the updater's record of the
// library's folder before the install folder and version.
std::vector<std::wstring> WebViewClientCandidates(const RegistryReader& read);

// The first candidate that exists, or empty: no runtime is installed.
std::wstring FindWebViewClient(const RegistryReader& read, const std::function<bool(const std::wstring&)>& exists);

}  // namespace tarn
