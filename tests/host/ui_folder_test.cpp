// Serving the UI folder: which file an address names, and that no address
// reaches outside the folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/gtk/ui_folder.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

TEST(UiFolder, AddressesNameFilesInsideTheFolder) {
  const std::string ui = "/opt/tarn/ui";
  EXPECT_EQ(UiPrefix(), "tarn://tarn.local/");
  EXPECT_EQ(ResolveUiFile(ui, "tarn://tarn.local/index.html"), "/opt/tarn/ui/index.html");
  EXPECT_EQ(ResolveUiFile(ui, "tarn://tarn.local/css//app.css?v=2#x"), "/opt/tarn/ui/css/app.css");
  EXPECT_EQ(ResolveUiFile(ui, "tarn://tarn.local/./img/%D0%B3%D0%B5%D1%80%D0%BE%D0%B9.png"),
            "/opt/tarn/ui/img/герой.png");
  EXPECT_EQ(ResolveUiFile(ui, "tarn://tarn.local/a%20b.txt"), "/opt/tarn/ui/a b.txt");
}

TEST(UiFolder, RefusesAddressesThatLeaveTheFolderOrAreNotOurs) {
  const std::string ui = "/opt/tarn/ui";
  for (const char* address : {
           "tarn://tarn.local/../secret", "tarn://tarn.local/a/../../secret", "tarn://tarn.local/%2e%2e/secret",
           "tarn://tarn.local/%2E%2e%2fsecret", "tarn://tarn.local/a%2F..%2F..%2Fsecret",
           "tarn://tarn.local/index.html%00.png", "tarn://tarn.local/bad%zzescape", "tarn://tarn.local/cut%4",
           "tarn://tarn.local/", "tarn://tarn.local/?q=index.html", "tarn://tarn.local", "tarn://TARN.local/index.html",
           "https://tarn.local/index.html", "file:///opt/tarn/ui/index.html", ""})
    EXPECT_EQ(ResolveUiFile(ui, address), "") << address;
  EXPECT_EQ(ResolveUiFile("", "tarn://tarn.local/index.html"), "");
}

TEST(UiFolder, MimeTypesFollowTheExtension) {
  EXPECT_EQ(MimeTypeFor("/ui/index.html"), "text/html");
  EXPECT_EQ(MimeTypeFor("/ui/APP.JS"), "text/javascript");
  EXPECT_EQ(MimeTypeFor("/ui/app.css"), "text/css");
  EXPECT_EQ(MimeTypeFor("/ui/logo.svg"), "image/svg+xml");
  EXPECT_EQ(MimeTypeFor("/ui/font.woff2"), "font/woff2");
  EXPECT_EQ(MimeTypeFor("/ui/data.bin"), "application/octet-stream");
  EXPECT_EQ(MimeTypeFor("/ui.d/README"), "application/octet-stream");
}

TEST(UiFolder, FoundBesideTheProgramElseTwoLevelsUp) {
  test::TempDir root;
  const fs::path exe = root.path() / "x" / "y" / "bin";
  fs::create_directories(exe / "ui");
  const std::string fallback = (root.path() / "x" / "ui").string();

  // An empty ui beside the program does not count; the fallback is not
  // tested, only named.
  EXPECT_EQ(FindUiFolder(exe.string()), fallback);
  // index.html may even be a folder: its existence is what counts.
  fs::create_directory(exe / "ui" / "index.html");
  EXPECT_EQ(FindUiFolder(exe.string()), (exe / "ui").string());
  fs::remove(exe / "ui" / "index.html");
  test::WriteFile(exe / "ui" / "index.html", "<!doctype html>");
  EXPECT_EQ(FindUiFolder(exe.string()), (exe / "ui").string());
  EXPECT_EQ(FindUiFolder("/"), "/ui");
}

}  // namespace
}  // namespace tarn
