// The Linux folder copy's replacement from a package file: what it takes
// from the package, what it refuses, and that a refusal changes nothing.
#include "platform/program_update.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "support/temp_dir.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;

class ProgramUpdateLinux : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(folder_ / "tarn-launcher", "old program");
    WriteFile(folder_ / "ui" / "index.html", "old page");
    fs::create_directories(data_);
  }
  // A package whose usr/lib/tarn-launcher/ the shape function fills.
  std::string Package(const std::string& name, const std::function<void(const fs::path&)>& shape) {
    const fs::path tree = dir_.path() / ("tree-" + name);
    fs::create_directories(tree / "DEBIAN");
    WriteFile(tree / "DEBIAN" / "control",
              "Package: tarn-launcher\nVersion: 9.9.9\nArchitecture: amd64\nMaintainer: t <t@t>\nDescription: t\n");
    const fs::path lib = tree / "usr" / "lib" / "tarn-launcher";
    fs::create_directories(lib);
    shape(lib);
    const fs::path deb = data_ / (name + ".deb");
    const std::string build = "dpkg-deb -Zgzip -b '" + tree.string() + "' '" + deb.string() + "' >/dev/null";
    EXPECT_EQ(std::system(build.c_str()), 0);
    return deb.string();
  }
  void ExpectUntouched(const std::string& what) {
    EXPECT_EQ(ReadFile(folder_ / "tarn-launcher"), "old program") << what;
    EXPECT_EQ(ReadFile(folder_ / "ui" / "index.html"), "old page") << what;
    EXPECT_FALSE(fs::exists(folder_ / "tarn-launcher.old")) << what;
    EXPECT_FALSE(fs::exists(data_ / "upgrade")) << what;
  }

  TempDir dir_;
  fs::path folder_ = dir_.path() / "launcher";
  fs::path data_ = folder_ / "data";
  RunningProgram program_{ProgramInstall::Folder, (folder_ / "tarn-launcher").string(), folder_.string()};
};

TEST_F(ProgramUpdateLinux, OnlyAPlainProgramAndPageAreTakenAndARefusalChangesNothing) {
  const auto good = [](const fs::path& lib) {
    WriteFile(lib / "tarn-launcher", "new program");
    WriteFile(lib / "ui" / "index.html", "new page");
    WriteFile(lib / "installed", "a package's marker stays out of a folder copy");
  };
  struct Row {
    const char* what;
    std::function<void(const fs::path&)> shape;
  } const refused[] = {
      {"no program of the running name", [](const fs::path& lib) { WriteFile(lib / "ui" / "index.html", "x"); }},
      {"no page", [](const fs::path& lib) { WriteFile(lib / "tarn-launcher", "x"); }},
      {"the program a link", [](const fs::path& lib) {
         WriteFile(lib / "ui" / "index.html", "x");
         fs::create_symlink("/bin/sh", lib / "tarn-launcher");
       }},
      {"a link in the page", [](const fs::path& lib) {
         WriteFile(lib / "tarn-launcher", "x");
         WriteFile(lib / "ui" / "index.html", "x");
         fs::create_symlink("/etc/passwd", lib / "ui" / "app.js");
       }},
  };
  int n = 0;
  for (const Row& row : refused) {
    const Result<void, UpgradeError> r = StartUpgrade(program_, Package("bad" + std::to_string(n++), row.shape));
    ASSERT_FALSE(r.ok()) << row.what;
    EXPECT_EQ(r.reason(), UpgradeError::Unpack) << row.what;
    ExpectUntouched(row.what);
  }
  WriteFile(data_ / "junk.deb", "not a package");
  EXPECT_EQ(StartUpgrade(program_, (data_ / "junk.deb").string()).reason(), UpgradeError::Unpack);
  ExpectUntouched("not a package");
  RunningProgram packaged = program_;
  packaged.kind = ProgramInstall::Package;
  EXPECT_EQ(StartUpgrade(packaged, Package("good", good)).reason(), UpgradeError::Unsupported);
  ExpectUntouched("a package's copy");

  ASSERT_TRUE(StartUpgrade(program_, (data_ / "good.deb").string()).ok());
  EXPECT_EQ(ReadFile(folder_ / "tarn-launcher"), "new program");
  EXPECT_EQ(ReadFile(folder_ / "ui" / "index.html"), "new page");
  EXPECT_EQ(ReadFile(folder_ / "tarn-launcher.old"), "old program");
  EXPECT_FALSE(fs::exists(folder_ / "installed"));
  EXPECT_FALSE(fs::exists(data_ / "upgrade"));
  EXPECT_NE(fs::status(folder_ / "tarn-launcher").permissions() & fs::perms::owner_exec, fs::perms::none);
  RemoveProgramLeftAside(program_);
  EXPECT_FALSE(fs::exists(folder_ / "tarn-launcher.old"));
  EXPECT_FALSE(fs::exists(folder_ / "ui.old"));
  EXPECT_EQ(ReadFile(folder_ / "tarn-launcher"), "new program");
}

}  // namespace
}  // namespace tarn::test
