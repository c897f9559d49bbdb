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

// The updater's product codes of every channel that carries the web view
// library, most stable first: the evergreen runtime, then the browser's
// beta, dev and canary channels. The system's own loader takes the first
// channel it finds in this order.
inline constexpr std::wstring_view kWebViewChannels[] = {
    L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}",  // stable (the runtime)
    L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}",  // beta
    L"{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}",  // dev
    L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}",  // canary
};
// The library inside a version folder, for 64-bit programs.
inline constexpr std::wstring_view kWebViewClientLibrary = L"EBWebView\\x64\\EmbeddedBrowserWebView.dll";

enum class RegistryRoot { LocalMachine, CurrentUser };

struct RegistryValueName {
  RegistryRoot root;
  std::wstring key;    // below the root, '\' separated
  std::wstring value;  // the value's name
};

// A string value of the registry, or nothing when it is missing or not text.
using RegistryReader = std::function<std::optional<std::wstring>(const RegistryValueName&)>;

// Every place the client library may be, best first: channel by channel
// in the order above; in each, a machine-wide install (the 32-bit view,
// where the updater writes, then the 64-bit one) before a per-user one;
// in each of those, the updater's record of the version folder
// ("...\Application\<version>") before the install folder and version.
std::vector<std::wstring> WebViewClientCandidates(const RegistryReader& read);

// The first candidate that exists, or empty: no runtime is installed.
std::wstring FindWebViewClient(const RegistryReader& read, const std::function<bool(const std::wstring&)>& exists);

}  // namespace tarn
