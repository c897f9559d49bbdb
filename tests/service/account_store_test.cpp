// The per-user secret store and accounts.dat, with real files in a
// temporary folder and a real key.
#include "service/account_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "bridge/context.h"
#include "platform/encoding.h"
#include "platform/file_ops.h"
#include "platform/secret_store.h"
#include "store_fixture.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

int Mode(const fs::path& p) {
  struct stat st{};
  return stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}



class SecretStore : public test::StoreTest {};

TEST_F(SecretStore, SealsForThisUserOnly) {
  const std::string secret = std::string("пароль\0\xff with bytes", 22);
  std::string sealed, again, plain;
  ASSERT_TRUE(ProtectForUser(secret, "purpose", sealed));
  ASSERT_TRUE(ProtectForUser(secret, "purpose", again));
  EXPECT_NE(sealed, again) << "each seal takes a fresh nonce";
  EXPECT_EQ(sealed.find("пароль"), std::string::npos);
  ASSERT_TRUE(UnprotectForUser(sealed, "purpose", plain));
  EXPECT_EQ(plain, secret);

  // Another purpose, a changed byte or a cut blob never opens.
  EXPECT_FALSE(UnprotectForUser(sealed, "another purpose", plain));
  EXPECT_EQ(plain, "");
  for (size_t i : {size_t{0}, size_t{5}, sealed.size() / 2, sealed.size() - 1}) {
    std::string bent = sealed;
    bent[i] = static_cast<char>(bent[i] ^ 0x01);
    EXPECT_FALSE(UnprotectForUser(bent, "purpose", plain)) << i;
  }
  EXPECT_FALSE(UnprotectForUser(sealed.substr(0, 20), "purpose", plain));
  EXPECT_FALSE(UnprotectForUser("", "purpose", plain));

  // The empty secret is a secret too.
  ASSERT_TRUE(ProtectForUser("", "purpose", sealed));
  EXPECT_TRUE(UnprotectForUser(sealed, "purpose", plain));
  EXPECT_EQ(plain, "");

  // Another user's key cannot open it.
  ASSERT_TRUE(ProtectForUser(secret, "purpose", sealed));
  UseKeyHome("home-b");
  EXPECT_FALSE(UnprotectForUser(sealed, "purpose", plain));
}

TEST_F(SecretStore, TheKeyIsPrivateMadeOnceAndNeverReplaced) {
  std::string sealed, plain;
  ASSERT_TRUE(ProtectForUser("x", "d", sealed));
  EXPECT_EQ(Mode(KeyFile().parent_path()), 0700);
  EXPECT_EQ(Mode(KeyFile()), 0600);
  const std::string key = ReadFile(KeyFile());
  EXPECT_EQ(key.size(), 32u);
  ASSERT_TRUE(ProtectForUser("y", "d", sealed));
  EXPECT_EQ(ReadFile(KeyFile()), key);
  // Only the key itself is left in its folder: no temporary files.
  EXPECT_EQ(std::distance(fs::directory_iterator(KeyFile().parent_path()), fs::directory_iterator()), 1);

  // A folder that others can read is closed again before use.
  fs::permissions(KeyFile().parent_path(), fs::perms(0755));
  ASSERT_TRUE(UnprotectForUser(sealed, "d", plain));
  EXPECT_EQ(Mode(KeyFile().parent_path()), 0700);

  // A damaged key is left alone for the user to see: replacing it would
  // lose every password sealed with the real one.
  WriteFile(KeyFile(), "short");
  EXPECT_FALSE(ProtectForUser("x", "d", sealed));
  EXPECT_FALSE(UnprotectForUser(sealed, "d", plain));
  EXPECT_EQ(ReadFile(KeyFile()), "short");
}

TEST_F(SecretStore, WithoutAUsableDataHomeNothingIsSealed) {
  // The key folder cannot be made where a file stands in the way.
  WriteFile(dir_.path() / "blocked", "a file, not a folder");
  setenv("XDG_DATA_HOME", (dir_.path() / "blocked").c_str(), 1);
  std::string sealed;
  EXPECT_FALSE(ProtectForUser("x", "d", sealed));
  EXPECT_EQ(sealed, "");
}

TEST_F(SecretStore, PrivateFilesAreReplacedWholeAndOwnerOnly) {
  const fs::path file = dir_.path() / "private.txt";
  WriteFile(file, "old");
  fs::permissions(file, fs::perms(0644));
  ASSERT_TRUE(ReplaceFileAtomically(file.string(), "new content", FileAccess::OwnerOnly));
  EXPECT_EQ(ReadFile(file), "new content");
  EXPECT_EQ(Mode(file), 0600);

  // A target that cannot be replaced fails and leaves no temporary file.
  const fs::path folder = dir_.path() / "is-a-folder";
  fs::create_directories(folder / "inside");
  EXPECT_FALSE(ReplaceFileAtomically(folder.string(), "bytes", FileAccess::OwnerOnly));
  EXPECT_TRUE(fs::is_directory(folder / "inside"));
  EXPECT_FALSE(ReplaceFileAtomically((dir_.path() / "missing" / "f").string(), "bytes", FileAccess::OwnerOnly));
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "private.txt" || name == "is-a-folder") << name;
  }
}

class AccountStore : public test::StoreTest {};

TEST_F(AccountStore, NoFileIsAnEmptyListAndTheFirstSaveMakesFolderAndFile) {
  EXPECT_TRUE(LoadAccounts(launcher.accounts).empty());
  EXPECT_EQ(AccountsPath(ctx), AccountsFile().string());
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"a", "1"}}));
  EXPECT_TRUE(fs::is_regular_file(AccountsFile()));
  EXPECT_EQ(Mode(AccountsFile()), 0600);

  ASSERT_TRUE(SaveAccounts(launcher.accounts, {}));
  EXPECT_EQ(fs::file_size(AccountsFile()), 0u);
  EXPECT_TRUE(LoadAccounts(launcher.accounts).empty());
}

TEST_F(AccountStore, FileLayoutAndRoundTripOfAwkwardPasswords) {
  const std::vector<Account> accounts = {
      {"player", R"(a"b\c)"},
      {"Игрок", "пароль с пробелом"},
      {"player", "second entry of the same login"},
      {"empty", ""},
  };
  ASSERT_TRUE(SaveAccounts(launcher.accounts, accounts));
  const std::string bytes = ReadFile(AccountsFile());
  // Each line: login, TAB, lowercase hex of the sealed bytes, CR LF.
  static const std::regex line("([^\t\r\n]+)\t((?:[0-9a-f]{2})+)\r\n");
  size_t lines = 0;
  for (std::sregex_iterator it(bytes.begin(), bytes.end(), line), end; it != end; ++it, ++lines) {
    ASSERT_LT(lines, accounts.size());
    EXPECT_EQ((*it)[1].str(), accounts[lines].login);
    EXPECT_EQ(UnprotectPassword((*it)[2].str()), accounts[lines].password);
  }
  EXPECT_EQ(lines, accounts.size());
  EXPECT_EQ(bytes.substr(0, 3), "pla") << "no byte-order mark";
  EXPECT_EQ(bytes.find("пароль"), std::string::npos);
  EXPECT_EQ(LoadAccounts(launcher.accounts), accounts);
}

TEST_F(AccountStore, DamagedLinesAreSkippedAndUnreadablePasswordsComeBackEmpty) {
  const std::string good = ProtectPassword("secret");
  ASSERT_FALSE(good.empty());
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  fs::create_directories(dataFolder_);
  WriteFile(AccountsFile(),
            "no tab here\r\n"
            "\r\n"
            "\n"
            "\tno login\r\n"
            "zz\tzz\r\n"
            "odd\t" + good.substr(1) + "\r\n"
            "crcr\t" + good + "\r\r\n"
            "upper\t" + upper + "\r\n"
            "with\ttab\t" + good + "\r\n"
            "bad\xff" "utf\t" + good + "\r\n"
            "last\t" + good);
  // What does not open is kept as it was stored, to be written back as is.
  const std::vector<Account> expected = {
      {"zz", "", "zz"},          {"odd", "", good.substr(1)},           {"crcr", "secret", ""},
      {"upper", "secret", ""},   {"with", "", "tab\t" + good},           {"bad\xEF\xBF\xBDutf", "secret", ""},
      {"last", "secret", ""},
  };
  EXPECT_EQ(LoadAccounts(launcher.accounts), expected);
  // Saved again and read back, nothing is lost.
  ASSERT_TRUE(SaveAccounts(launcher.accounts, LoadAccounts(launcher.accounts)));
  EXPECT_EQ(LoadAccounts(launcher.accounts), expected);
}

TEST_F(AccountStore, NonHexPairsCountByTheirValidLeadingDigit) {
  // A pair such as "5z" reads as the byte 0x05, so a seal holding a byte
  // below 0x10 still opens when that byte is spelled that way.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string sealed;
    ASSERT_TRUE(ProtectForUser("pw", "ТАРН: пароль аккаунта", sealed));
    const std::string hex = HexText(sealed);
    ASSERT_EQ(UnprotectPassword(hex), "pw");
    for (size_t i = 0; i < sealed.size(); ++i) {
      const auto b = static_cast<unsigned char>(sealed[i]);
      if (b == 0 || b >= 0x10) continue;
      std::string bent = hex;
      bent[2 * i] = HexText(std::string(1, static_cast<char>(b)))[1];
      bent[2 * i + 1] = 'z';
      EXPECT_EQ(UnprotectPassword(bent), "pw") << bent;
      bent[2 * i] = 'z';  // no valid leading digit: 0x00, and the seal breaks
      EXPECT_EQ(UnprotectPassword(bent), "");
      return;
    }
  }
  FAIL() << "no seal held a byte in 0x01..0x0f";
}

TEST_F(AccountStore, PasswordsThatDoNotOpenSurviveEverySaveOfAnotherUser) {
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"a", "one"}, {"b", "two"}}));
  const std::string mine = ReadFile(AccountsFile());
  UseKeyHome("other-user");
  for (const Account& a : LoadAccounts(launcher.accounts)) {
    EXPECT_EQ(a.password, "");
    EXPECT_FALSE(a.unopened.empty());
  }
  // Another user adds an account: the two passwords they cannot open go
  // back to the file byte for byte.
  ASSERT_TRUE(ChangeAccounts(launcher.accounts, [](std::vector<Account>& list) {
    list.push_back({"c", "three", {}});
    return true;
  }));
  EXPECT_EQ(ReadFile(AccountsFile()).substr(0, mine.size()), mine);

  // Back as their owner, both open again; now c is the stranger's.
  UseKeyHome("home-a");
  const std::vector<Account> back = LoadAccounts(launcher.accounts);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0], (Account{"a", "one", ""}));
  EXPECT_EQ(back[1], (Account{"b", "two", ""}));
  EXPECT_EQ(back[2].password, "");
  // A new password given by the player replaces what did not open.
  ASSERT_TRUE(ChangeAccounts(launcher.accounts, [](std::vector<Account>& list) {
    list[2].password = "mine now";
    list[2].unopened.clear();
    return true;
  }));
  EXPECT_EQ(LoadAccounts(launcher.accounts)[2], (Account{"c", "mine now", ""}));
}

TEST_F(AccountStore, AFailedSaveLeavesTheOldFileWhole) {
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"kept", "pw"}}));
  const std::string before = ReadFile(AccountsFile());
  // Without a usable key nothing can be sealed; the old file must survive
  // rather than be rewritten with its passwords dropped.
  WriteFile(KeyFile(), "broken");
  EXPECT_FALSE(SaveAccounts(launcher.accounts, {{"kept", "pw"}, {"new", "pw2"}}));
  EXPECT_EQ(ReadFile(AccountsFile()), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dataFolder_), fs::directory_iterator()), 1);
}

TEST_F(AccountStore, ChangeAccountsWritesOnlyWhenSomethingChanged) {
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"a", "1"}}));
  const std::string before = ReadFile(AccountsFile());
  EXPECT_TRUE(ChangeAccounts(launcher.accounts, [](std::vector<Account>&) { return false; }));
  EXPECT_EQ(ReadFile(AccountsFile()), before) << "sealing again would have changed every byte";
  EXPECT_TRUE(ChangeAccounts(launcher.accounts, [](std::vector<Account>& list) {
    list.push_back({"b", "2"});
    return true;
  }));
  EXPECT_EQ(LoadAccounts(launcher.accounts), (std::vector<Account>{{"a", "1"}, {"b", "2"}}));
}

TEST(PasswordFor, ExactLoginOnlyAndTheListsOwnText) {
  const std::vector<Account> accounts{{"a", "1"}, {"A", "2"}, {"a ", "3"}, {"a", "4"}};
  EXPECT_EQ(PasswordFor(accounts, "a"), "1");
  // The game is handed the stored text itself: no copy of a password.
  EXPECT_EQ(&PasswordFor(accounts, "a"), &accounts[0].password);
  EXPECT_EQ(PasswordFor(accounts, "A"), "2");
  EXPECT_EQ(PasswordFor(accounts, "b"), "");
  EXPECT_EQ(PasswordFor({}, ""), "");
}

}  // namespace
}  // namespace tarn
