// The user's manual proxy settings as WinHTTP reads them from the user's
// part of the registry: written here in the form the system's settings
// dialog stores, read back through SystemProxy, and the old value put back.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/proxy.h"

namespace tarn {
namespace {

constexpr wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kValue[] = L"DefaultConnectionSettings";

void Append(std::vector<BYTE>& blob, DWORD value) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&value);
  blob.insert(blob.end(), bytes, bytes + sizeof value);
}

void Append(std::vector<BYTE>& blob, const std::string& text) {
  Append(blob, static_cast<DWORD>(text.size()));
  blob.insert(blob.end(), text.begin(), text.end());
}

// The settings blob: a version, a change counter, the flags (2: a manual
// proxy), then the proxy, its bypass list and the script's address, each
// as a length and its characters.
std::vector<BYTE> ManualProxy(const std::string& proxy, const std::string& bypass) {
  std::vector<BYTE> blob;
  Append(blob, DWORD{0x46});
  Append(blob, DWORD{1});
  Append(blob, DWORD{2 | 1});
  Append(blob, proxy);
  Append(blob, bypass);
  Append(blob, std::string());
  blob.resize(blob.size() + 32, 0);
  return blob;
}

// Writes the settings for the test's length and puts back what was there.
class UserProxySettings {
 public:
  UserProxySettings() {
    RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
    DWORD size = 0;
    if (key_ && RegQueryValueExW(key_, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
      old_.emplace(size);
      RegQueryValueExW(key_, kValue, nullptr, nullptr, old_->data(), &size);
    }
  }
  ~UserProxySettings() {
    if (!key_) return;
    if (old_) RegSetValueExW(key_, kValue, 0, REG_BINARY, old_->data(), static_cast<DWORD>(old_->size()));
    else RegDeleteValueW(key_, kValue);
    RegCloseKey(key_);
  }
  UserProxySettings(const UserProxySettings&) = delete;
  UserProxySettings& operator=(const UserProxySettings&) = delete;
  bool Write(const std::vector<BYTE>& blob) {
    return key_ && RegSetValueExW(key_, kValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())) ==
                       ERROR_SUCCESS;
  }

 private:
  HKEY key_ = nullptr;
  std::optional<std::vector<BYTE>> old_;
};

TEST(SystemProxyWindows, TheUsersManualProxyAndItsBypassListAreRead) {
  UserProxySettings settings;
  ASSERT_TRUE(settings.Write(ManualProxy("http=plain.lan:80;https=proxy.lan:3128", "<local>;*.inside.test")));
  EXPECT_EQ(SystemProxy("tarn.test", 8443, true), "http://proxy.lan:3128");
  EXPECT_EQ(SystemProxy("files.inside.test", 8443, true), "");
  EXPECT_EQ(SystemProxy("intranet", 8443, true), "");
  EXPECT_EQ(SystemProxy("127.0.0.1", 8090, false), "") << "this machine is never sent through a proxy";
}

}  // namespace
}  // namespace tarn
