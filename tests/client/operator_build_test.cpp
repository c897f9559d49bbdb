// A launcher as the operator ships it: built with a second list key for a
// key change and with the service's address inside it. The program under
// test trusts the new key and the demo key, and knows the address
// http://127.0.0.1:TARN_BUILT_IN_PORT; the build's own launcher trusts the
// demo key alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "list_signing.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ScriptLine;
using test::WriteFile;

const std::string kListOk = test::Row("ok", "Список получен, подпись верна", "Готово");
const std::string kBadSignature = "Подпись списка неверна";

bool Has(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

class OperatorBuild : public test::ServiceLauncherTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakeSite({"--size-mib", "1", "--files", "4"}, true));
    fs::create_directories(game_.parent_path());
    fs::copy(site_ / "client", game_, fs::copy_options::recursive);
    ASSERT_NO_FATAL_FAILURE(StartService());
  }
  // A launcher in folder that knows where the game is; service.url beside
  // it names the test's service.
  fs::path Place(const fs::path& program, const fs::path& folder) {
    const fs::path exe = test::PlaceProgram(program, folder);
    WriteFile(folder / "data" / "install.cfg", "path=" + test::PathUtf8(game_) + "\r\nstate=готово\r\n");
    test::PointAtService(folder, service_);
    return exe;
  }
  std::vector<std::string> Run(const fs::path& exe, const std::string& script) {
    const auto run = test::RunProgram(exe, script);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.lines();
  }
  // The site's client signed again with the private key in keyFile.
  void SignWith(const fs::path& keyFile, int build) {
    ASSERT_TRUE(test::PublishSite(site_, build, {"--key", test::PathUtf8(keyFile)}));
  }

  fs::path game_ = root_.path() / "game";
};

// The key change step by step: the launcher shipped first trusts the old
// key and the new one, so lists of either verify in it, while the one that
// trusts the old key alone refuses the new signature; a key it was not
// built with is refused by both.
TEST_F(OperatorBuild, TrustsListsOfEitherBuiltInKeyAndNoOther) {
  const fs::path rotating = Place(TARN_OPERATOR_HEADLESS, root_.path() / "rotating");
  const fs::path oldOnly = Place(test::HeadlessProgram(), root_.path() / "old-only");
  const std::string verify = ScriptLine("client.verify") + ":wait\n";

  // Signed with the old (demo) key, as the site was made.
  EXPECT_TRUE(Has(Run(rotating, verify), kListOk));
  EXPECT_TRUE(Has(Run(oldOnly, verify), kListOk));

  ASSERT_NO_FATAL_FAILURE(SignWith(TARN_NEW_LIST_KEY, 4));
  const auto afterChange = Run(rotating, verify);
  EXPECT_TRUE(Has(afterChange, kListOk));
  EXPECT_FALSE(Has(afterChange, kBadSignature));
  const auto stranded = Run(oldOnly, verify);
  EXPECT_TRUE(Has(stranded, kBadSignature));
  EXPECT_FALSE(Has(stranded, kListOk));

  const test::TestKey third = test::MakeTestKey();
  const fs::path thirdFile = root_.path() / "third-private.pem";
  WriteFile(thirdFile, third.privatePem);
  ASSERT_NO_FATAL_FAILURE(SignWith(thirdFile, 5));
  for (const fs::path& exe : {rotating, oldOnly}) {
    const auto refused = Run(exe, verify);
    EXPECT_TRUE(Has(refused, kBadSignature)) << exe;
    EXPECT_FALSE(Has(refused, kListOk)) << exe;
  }
}

// With nothing beside it the program asks its built-in address; a
// service.url beside it still wins.
TEST_F(OperatorBuild, ReachesTheBuiltInAddressUnlessServiceUrlSaysOtherwise) {
  test::ServiceProcess builtIn;
  test::ServiceOptions options;
  options.site = site_;
  options.port = TARN_BUILT_IN_PORT;
  ASSERT_TRUE(builtIn.Start(options)) << builtIn.error();

  const fs::path folder = root_.path() / "bare";
  const fs::path exe = test::PlaceProgram(TARN_OPERATOR_HEADLESS, folder);
  fs::create_directories(folder / "data");
  ASSERT_FALSE(fs::exists(folder / "service.url"));
  const std::string ready = ScriptLine("ui.ready") + ":wait\n";
  const auto news = [](const test::ServiceProcess& service) {
    const auto log = service.AccessLog();
    return std::count_if(log.begin(), log.end(),
                         [](const test::AccessEntry& e) { return e.target.starts_with("/api/news"); });
  };
  const auto lines = Run(exe, ready);
  EXPECT_TRUE(Has(lines, R"({"news":[)"));
  EXPECT_EQ(news(builtIn), 1);
  EXPECT_EQ(news(service_), 0);

  test::PointAtService(folder, service_);
  EXPECT_TRUE(Has(Run(exe, ready), R"({"news":[)"));
  EXPECT_EQ(news(builtIn), 1);
  EXPECT_EQ(news(service_), 1);
}

}  // namespace
}  // namespace tarn
