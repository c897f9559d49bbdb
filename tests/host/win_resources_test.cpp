// What Windows reads from the built program without running it: the
// version block shown in the file's properties, the manifest the loader
// applies, and the icon the shell shows.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace tarn {
namespace {

std::wstring VersionText(const std::vector<char>& block, const wchar_t* key) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\041904B0\\") + key;
  if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return L"";
  return std::wstring(value);
}

TEST(WindowsProgram, CarriesVersionManifestAndIcon) {
  const std::wstring exe = TARN_LAUNCHER_EXE_W;
  DWORD ignored = 0;
  std::vector<char> block(GetFileVersionInfoSizeW(exe.c_str(), &ignored));
  ASSERT_FALSE(block.empty()) << "no version information";
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD{(TARN_VERSION_MAJOR << 16) | TARN_VERSION_MINOR});
  EXPECT_EQ(fixed->dwProductVersionLS, DWORD{TARN_VERSION_PATCH << 16});
  EXPECT_EQ(fixed->dwFileType, DWORD{VFT_APP});
  EXPECT_EQ(VersionText(block, L"ProductName"), L"ТАРН");
  EXPECT_EQ(VersionText(block, L"FileDescription"), L"ТАРН — лаунчер");
  EXPECT_EQ(VersionText(block, L"CompanyName"), L"TarnLauncher developers");
  EXPECT_EQ(VersionText(block, L"ProductVersion"), TARN_VERSION_TEXT_W);
  EXPECT_EQ(VersionText(block, L"OriginalFilename"), L"tarn-launcher.exe");

  const HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  EXPECT_NE(FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)), nullptr) << "no icon group 1";
  const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr) << "no manifest";
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
  const std::string manifest(bytes, SizeofResource(image, found));
  for (const char* part : {"PerMonitorV2", "true/pm", "Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "level=\"asInvoker\"",
                           "version=\"" TARN_VERSION_TEXT ".0\""})
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
  FreeLibrary(image);
}

}  // namespace
}  // namespace tarn
