// The Windows host's declarations of the web view's interfaces, checked
// against the published interface identifiers and method slots, and the
// search for the installed runtime, run against a made-up registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <map>
#include <string>

#include "host/win/runtime_locator.h"
#include "host/win/webview2.h"

namespace tarn {
namespace {

using namespace webview2;

std::string IidText(const IID& iid) {
  wchar_t text[40] = {};
  StringFromGUID2(iid, text, 40);
  std::string out;
  for (const wchar_t* c = text; *c; ++c) out += static_cast<char>(*c);
  return out;
}

// The table slot a virtual method occupies: a pointer to a virtual member
// holds one more than the slot's byte offset in this compiler's ABI.
template <typename C, typename M>
size_t Slot(M C::*method) {
  struct {
    uintptr_t ptr;
    ptrdiff_t adjust;
  } rep;
  static_assert(sizeof method == sizeof rep);
  std::memcpy(&rep, &method, sizeof rep);
  return (rep.ptr - 1) / sizeof(void*);
}

TEST(WebView2Declarations, IdentifiersAndSlotsMatchThePublishedInterfaces) {
  const std::map<std::string, std::string> iids = {
      {IidText(ICoreWebView2Environment::kIid), "{B96D755E-0319-4E92-A296-23436F46A1FC}"},
      {IidText(ICoreWebView2Controller::kIid), "{4D00C0D1-9434-4EB6-8078-8697A560334F}"},
      {IidText(ICoreWebView2Controller2::kIid), "{C979903E-D4CA-4228-92EB-47EE3FA96EAB}"},
      {IidText(ICoreWebView2Controller4::kIid), "{97D418D5-A426-4E49-A151-E1A10F327D9E}"},
      {IidText(ICoreWebView2::kIid), "{76ECEACB-0462-4D94-AC83-423A6793775E}"},
      {IidText(ICoreWebView2_3::kIid), "{A0D6DF20-3B92-416D-AA0C-437A9C727857}"},
      {IidText(ICoreWebView2_4::kIid), "{20D02D59-6DF2-42DC-BD06-F98A694B1302}"},
      {IidText(ICoreWebView2Settings::kIid), "{E562E4F0-D7FA-43AC-8D71-C05150499F00}"},
      {IidText(ICoreWebView2Settings6::kIid), "{11CB3ACD-9BC8-43B8-83BF-F40753714F87}"},
      {IidText(ICoreWebView2WebMessageReceivedEventHandler::kIid), "{57213F19-00E6-49FA-8E07-898EA01ECBD2}"},
      {IidText(ICoreWebView2NavigationStartingEventHandler::kIid), "{9ADBE429-F36D-432B-9DDC-F8881FBD76E3}"},
      {IidText(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler::kIid),
       "{4E8A3389-C9D8-4BD2-B6B5-124FEE6CC14D}"},
  };
  for (const auto& [declared, published] : iids) EXPECT_EQ(declared, published);

  // Every interface is a bare table pointer.
  static_assert(sizeof(ICoreWebView2_4) == sizeof(void*) && sizeof(ICoreWebView2Controller4) == sizeof(void*) &&
                sizeof(ICoreWebView2Settings6) == sizeof(void*) && sizeof(Color) == 4 && sizeof(EventToken) == 8);

  // Slots as numbered in the published tables (IUnknown takes 0 to 2).
  EXPECT_EQ(Slot(&ICoreWebView2Environment::CreateCoreWebView2Controller), 3u);
  EXPECT_EQ(Slot(&ICoreWebView2::get_Settings), 3u);
  EXPECT_EQ(Slot(&ICoreWebView2::Navigate), 5u);
  EXPECT_EQ(Slot(&ICoreWebView2::NavigateToString), 6u);
  EXPECT_EQ(Slot(&ICoreWebView2::add_NavigationStarting), 7u);
  EXPECT_EQ(Slot(&ICoreWebView2::add_NavigationCompleted), 15u);
  EXPECT_EQ(Slot(&ICoreWebView2::PostWebMessageAsJson), 32u);
  EXPECT_EQ(Slot(&ICoreWebView2::add_WebMessageReceived), 34u);
  EXPECT_EQ(Slot(&ICoreWebView2::add_NewWindowRequested), 44u);
  EXPECT_EQ(Slot(&ICoreWebView2_3::SetVirtualHostNameToFolderMapping), 71u);
  EXPECT_EQ(Slot(&ICoreWebView2_4::add_DownloadStarting), 75u);
  EXPECT_EQ(Slot(&ICoreWebView2Controller::put_Bounds), 6u);
  EXPECT_EQ(Slot(&ICoreWebView2Controller::NotifyParentWindowPositionChanged), 23u);
  EXPECT_EQ(Slot(&ICoreWebView2Controller::Close), 24u);
  EXPECT_EQ(Slot(&ICoreWebView2Controller::get_CoreWebView2), 25u);
  EXPECT_EQ(Slot(&ICoreWebView2Controller2::put_DefaultBackgroundColor), 27u);
  EXPECT_EQ(Slot(&ICoreWebView2Controller4::put_AllowExternalDrop), 37u);
  EXPECT_EQ(Slot(&ICoreWebView2Settings::put_IsBuiltInErrorPageEnabled), 20u);
  EXPECT_EQ(Slot(&ICoreWebView2Settings3::put_AreBrowserAcceleratorKeysEnabled), 24u);
  EXPECT_EQ(Slot(&ICoreWebView2Settings4::put_IsGeneralAutofillEnabled), 28u);
  EXPECT_EQ(Slot(&ICoreWebView2Settings6::put_IsSwipeNavigationEnabled), 32u);
  EXPECT_EQ(Slot(&ICoreWebView2NavigationStartingEventArgs::put_Cancel), 8u);
  EXPECT_EQ(Slot(&ICoreWebView2NewWindowRequestedEventArgs::put_Handled), 6u);
  EXPECT_EQ(Slot(&ICoreWebView2DownloadStartingEventArgs::put_Cancel), 5u);
  EXPECT_EQ(Slot(&ICoreWebView2WebMessageReceivedEventArgs::TryGetWebMessageAsString), 5u);
  EXPECT_EQ(Slot(&ICoreWebView2NavigationCompletedEventArgs::get_WebErrorStatus), 4u);
}

TEST(WebViewRuntimeSearch, ReadsTheUpdatersRecordsChannelByChannelAndDistrustsOddValues) {
  const std::wstring machine32 = L"SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\";
  const std::wstring user = L"SOFTWARE\\Microsoft\\EdgeUpdate\\";
  const std::wstring stable(kWebViewChannels[0]), canary(kWebViewChannels[3]);
  std::map<std::wstring, std::wstring> registry = {
      // A per-user canary with both records, written by the updater with a
      // trailing separator on the version folder.
      {L"U|" + user + L"ClientState\\" + canary + L"|EBWebView", L"C:\\Users\\p\\AppData\\Edge SxS\\Application\\122.0.1\\"},
      {L"U|" + user + L"Clients\\" + canary + L"|location", L"C:\\Users\\p\\AppData\\Edge SxS\\Application"},
      {L"U|" + user + L"Clients\\" + canary + L"|pv", L"122.0.1"},
      // The machine-wide runtime known only by folder and version.
      {L"M|" + machine32 + L"Clients\\" + stable + L"|location", L"C:\\Program Files (x86)\\Microsoft\\EdgeWebView\\Application\\"},
      {L"M|" + machine32 + L"Clients\\" + stable + L"|pv", L"121.0.2277.83"},
  };
  const RegistryReader read = [&](const RegistryValueName& name) -> std::optional<std::wstring> {
    const auto it = registry.find((name.root == RegistryRoot::LocalMachine ? L"M|" : L"U|") + name.key + L"|" + name.value);
    if (it == registry.end()) return std::nullopt;
    return it->second;
  };
  const std::wstring stableDll =
      L"C:\\Program Files (x86)\\Microsoft\\EdgeWebView\\Application\\121.0.2277.83\\EBWebView\\x64\\EmbeddedBrowserWebView.dll";
  const std::wstring canaryDll = L"C:\\Users\\p\\AppData\\Edge SxS\\Application\\122.0.1\\EBWebView\\x64\\EmbeddedBrowserWebView.dll";
  // The stable channel first, though its install is older; both records of
  // the canary name the same file, which is listed once.
  EXPECT_EQ(WebViewClientCandidates(read), (std::vector<std::wstring>{stableDll, canaryDll}));
  EXPECT_EQ(FindWebViewClient(read, [&](const std::wstring& p) { return p == canaryDll; }), canaryDll);
  EXPECT_EQ(FindWebViewClient(read, [](const std::wstring&) { return false; }), L"");

  // An uninstalled version, a relative folder and a climb out of the
  // folder are all passed over.
  registry[L"M|" + machine32 + L"Clients\\" + stable + L"|pv"] = L"0.0.0.0";
  registry[L"U|" + user + L"ClientState\\" + canary + L"|EBWebView"] = L"Application\\122.0.1";
  registry[L"U|" + user + L"Clients\\" + canary + L"|location"] = L"C:\\Users\\p\\..\\..\\Temp";
  EXPECT_TRUE(WebViewClientCandidates(read).empty());
  EXPECT_TRUE(WebViewClientCandidates([](const RegistryValueName&) { return std::nullopt; }).empty());
}

}  // namespace
}  // namespace tarn
