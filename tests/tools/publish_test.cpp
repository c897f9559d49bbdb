// The publisher's lists, checked by an independent verifier (the openssl
// command line) and by the publisher's own checker.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "cli.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"
#include "bridge/base64.h"
#include "tools/common/crypto.h"
#include "client/file_list.h"
#include "tools/common/file_list.h"
#include "tools/common/site.h"

namespace tarn::test {
namespace {
namespace fs = std::filesystem;
using tools::Md5Hex;
using tools::StaticFileName;

const std::string kMarker = "-----BEGIN ELEMENT SIGNATURE-----";

std::string Publish(const std::string& args) { return Quote(PublishProgram().string()) + " " + args; }

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = dir.path() / "client";
    WriteFile(client / "ElementClient.exe", "stand-in");
    WriteFile(client / "element" / "Мир 1" / "зона 07.dat", std::string(70000, 'x'));
    WriteFile(client / "element" / "пустой.bin", "");
    WriteFile(client / "a b" / "c d" / "e.txt", "nested with spaces\n");
    const auto keys = RunShell(Publish("keygen --private " + Quote((dir.path() / "priv.pem").string()) + " --public " +
                                       Quote((dir.path() / "pub.pem").string())));
    ASSERT_EQ(keys.code, 0) << keys.out;
  }

  std::string MakeList(const std::string& extra = "") {
    const fs::path out = dir.path() / "files.md5";
    const auto run = RunShell(Publish("list --client " + Quote(client.string()) + " --key " +
                                      Quote((dir.path() / "priv.pem").string()) + " --build 7 --out " +
                                      Quote(out.string()) + " " + extra));
    EXPECT_EQ(run.code, 0) << run.out;
    return ReadFile(out);
  }

  Shell Check(const std::string& document, const std::string& key = "pub.pem") {
    WriteFile(dir.path() / "check.md5", document);
    return RunShell(Publish("check --list " + Quote((dir.path() / "check.md5").string()) + " --key " +
                            Quote((dir.path() / key).string())));
  }

  // Verifies a list with openssl alone: the bytes before the marker with CR
  // removed, against the Base64 after it.
  Shell OpensslVerify(const std::string& document) {
    const size_t marker = document.find(kMarker);
    std::string signedBytes = document.substr(0, marker);
    std::erase(signedBytes, '\r');
    WriteFile(dir.path() / "signed.txt", signedBytes);
    WriteFile(dir.path() / "sig.b64", document.substr(marker + kMarker.size()));
    const std::string d = Quote(dir.path().string());
    return RunShell("cd " + d + " && openssl base64 -d -in sig.b64 -out sig.bin && "
                    "openssl dgst -md5 -verify pub.pem -signature sig.bin signed.txt");
  }

  TempDir dir;
  fs::path client;
};

TEST_F(PublishTest, OpensslVerifiesTheSignatureAndEveryLineDescribesItsFile) {
  const std::string list = MakeList();
  ASSERT_NE(list.find(kMarker), std::string::npos);
  EXPECT_TRUE(list.starts_with("# 7\n"));
  EXPECT_NE(list.find("\n" + kMarker + "\n"), std::string::npos) << "the marker starts its own line";
  const auto verify = OpensslVerify(list);
  EXPECT_EQ(verify.code, 0) << verify.out;
  EXPECT_NE(verify.out.find("Verified OK"), std::string::npos);

  // The same check the other way round: openssl signs the same bytes with
  // the same key and gets the same signature (PKCS #1 v1.5 is deterministic).
  const auto sign = RunShell("cd " + Quote(dir.path().string()) +
                             " && openssl dgst -md5 -sign priv.pem -out mine.bin signed.txt && cmp -s mine.bin sig.bin");
  EXPECT_EQ(sign.code, 0) << sign.out;

  // Every data line: MD5 as md5sum computes it, the size, and the path.
  size_t lines = 0;
  const std::string body = list.substr(0, list.find(kMarker));
  size_t start = 0;
  while (start < body.size()) {
    const size_t end = body.find('\n', start);
    const std::string line = body.substr(start, end - start);
    start = end + 1;
    if (line.starts_with("#")) continue;
    ++lines;
    const size_t s1 = line.find(' ');
    const size_t s2 = line.find(' ', s1 + 1);
    std::string path;
    ASSERT_TRUE(DecodeBase64(line.substr(s2 + 1), path)) << line;
    const fs::path file = client / fs::path(path);
    ASSERT_TRUE(fs::is_regular_file(file)) << path;
    EXPECT_EQ(std::stoull(line.substr(s1 + 1, s2 - s1 - 1)), fs::file_size(file)) << path;
    const auto md5 = RunShell("md5sum " + Quote(file.string()));
    EXPECT_EQ(md5.out.substr(0, 32), line.substr(0, s1)) << path;
  }
  EXPECT_EQ(lines, 4u);
  EXPECT_NE(body.find(EncodeBase64("element/Мир 1/зона 07.dat")), std::string::npos);
}

TEST_F(PublishTest, PublicKeyHasTheShapeTheLauncherBuildsIn) {
  const std::string pem = ReadFile(dir.path() / "pub.pem");
  EXPECT_EQ(pem.size(), 451u);
  EXPECT_TRUE(pem.starts_with("-----BEGIN PUBLIC KEY-----\n"));
  EXPECT_TRUE(pem.ends_with("-----END PUBLIC KEY-----\n"));
  EXPECT_EQ(fs::status(dir.path() / "priv.pem").permissions() & fs::perms::group_all, fs::perms::none);
  // A second keygen must not destroy the key that signed what is out there.
  const auto again = RunShell(Publish("keygen --private " + Quote((dir.path() / "priv.pem").string()) + " --public " +
                                      Quote((dir.path() / "other.pem").string())));
  EXPECT_NE(again.code, 0);
}

TEST_F(PublishTest, CheckerAcceptsWhatTheLauncherAcceptsAndRefusesTampering) {
  const std::string list = MakeList();
  EXPECT_EQ(Check(list).code, 0) << Check(list).out;

  // CR LF line ends in transit do not matter: CRs are not signed.
  std::string crlf;
  for (char c : list) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  EXPECT_EQ(Check(crlf).code, 0) << Check(crlf).out;

  std::string changed = list;
  changed[list.find('\n') + 3] ^= 1;  // one byte of the first checksum
  auto run = Check(changed);
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("signature does not match"), std::string::npos) << run.out;

  std::string noLf = list;
  noLf.erase(list.find(kMarker) - 1, 1);  // the LF before the marker is signed too
  EXPECT_EQ(Check(noLf).code, 1);

  run = Check(list + kMarker + "\n");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("not valid Base64"), std::string::npos) << run.out;

  run = Check(list.substr(0, list.find(kMarker)));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("marker"), std::string::npos) << run.out;

  run = Check(list, "other-pub.pem");  // missing key file
  EXPECT_NE(run.code, 0);
  const auto other = RunShell(Publish("keygen --private " + Quote((dir.path() / "other-priv.pem").string()) +
                                      " --public " + Quote((dir.path() / "other-pub.pem").string())));
  ASSERT_EQ(other.code, 0);
  run = Check(list, "other-pub.pem");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("another key"), std::string::npos) << run.out;
}

TEST_F(PublishTest, CheckerComparesAClientFolderWithTheList) {
  WriteFile(dir.path() / "files.md5", MakeList());
  const std::string check = "check --list " + Quote((dir.path() / "files.md5").string()) + " --key " +
                            Quote((dir.path() / "pub.pem").string()) + " --client " + Quote(client.string());
  EXPECT_EQ(RunShell(Publish(check)).code, 0);
  WriteFile(client / "ElementClient.exe", "stand-ix");  // same size, other bytes
  fs::remove(client / "element" / "пустой.bin");
  const auto run = RunShell(Publish(check));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("content differs: ElementClient.exe"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("missing: element/пустой.bin"), std::string::npos) << run.out;
  // A file put into the client after signing is never installed: named,
  // and the check fails for it alone.
  WriteFile(client / "ElementClient.exe", "stand-in");
  WriteFile(client / "element" / "пустой.bin", "");
  WriteFile(client / "a b" / "новый.dat", "late");
  const auto extra = RunShell(Publish(check));
  EXPECT_EQ(extra.code, 1);
  EXPECT_NE(extra.out.find("client: not in the list: a b/новый.dat\n"), std::string::npos) << extra.out;
  EXPECT_EQ(extra.out.find("client: missing"), std::string::npos) << extra.out;
}

TEST_F(PublishTest, AStaticWebRootIsCheckedAndAStaleNewsFileGoes) {
  const fs::path site = dir.path() / "site";
  const fs::path root = dir.path() / "www";
  fs::create_directories(site);
  fs::copy(client, site / "client", fs::copy_options::recursive);
  WriteFile(site / "news.json", R"({"news":[{"title":"old"}]})");
  ASSERT_EQ(RunShell(Publish("site --site " + Quote(site.string()) + " --key " +
                             Quote((dir.path() / "priv.pem").string()) + " --build 5")).code, 0);
  const std::string write = "static --site " + Quote(site.string()) + " --out " + Quote(root.string());
  ASSERT_EQ(RunShell(Publish(write + " --news")).code, 0);
  ASSERT_TRUE(fs::exists(root / "news.json"));
  const std::string check = "check --static " + Quote(root.string()) + " --key " + Quote((dir.path() / "pub.pem").string());
  const auto good = RunShell(Publish(check));
  EXPECT_EQ(good.code, 0) << good.out;
  EXPECT_NE(good.out.find("build: 5"), std::string::npos) << good.out;

  // Without --news the news are the service's again: the old file goes.
  ASSERT_EQ(RunShell(Publish(write)).code, 0);
  EXPECT_FALSE(fs::exists(root / "news.json"));

  const std::string exe = EncodeBase64Url("ElementClient.exe");
  fs::remove(root / "files" / exe);
  WriteFile(root / "files" / EncodeBase64Url("a b\\c d\\e.txt"), "nested with spaceS\n");
  WriteFile(root / "files" / "stray", "x");
  WriteFile(root / "TRN" / "element" / "version", "6\n");
  const auto bad = RunShell(Publish(check));
  EXPECT_EQ(bad.code, 1);
  for (const std::string line : {"web root: missing: ElementClient.exe\n", "web root: content differs: a b/c d/e.txt\n",
                                 "web root: not in the list: files/stray\n",
                                 "web root: TRN/element/version names another build than the list: 6\n"})
    EXPECT_NE(bad.out.find(line), std::string::npos) << line << bad.out;
  EXPECT_EQ(RunShell(Publish(check + " --list " + Quote((root / "TRN/element/files.md5").string()))).code, 2)
      << "one list only";
}

TEST_F(PublishTest, LargeFilesGetBlockIndexesThatTheCheckerHoldsToTheListAndTheClient) {
  const fs::path site = dir.path() / "site";
  const fs::path root = dir.path() / "www";
  fs::create_directories(site);
  fs::copy(client, site / "client", fs::copy_options::recursive);
  std::string pack(1'500'000, '\0');
  for (size_t i = 0; i < pack.size(); ++i) pack[i] = static_cast<char>(i * 2654435761u >> 13);
  WriteFile(site / "client" / "data" / "big.pck", pack);
  ASSERT_EQ(RunShell(Publish("site --site " + Quote(site.string()) + " --key " +
                             Quote((dir.path() / "priv.pem").string()) + " --build 5")).code, 0);
  // Only the file of 1 MiB or more has one, at most 1 % of it, in the site
  // and in the web root alike.
  const std::string index = Md5Hex(pack) + ".blocks";
  ASSERT_TRUE(fs::exists(site / "objects" / index));
  EXPECT_LE(fs::file_size(site / "objects" / index) * 100, pack.size());
  size_t indexes = 0;
  for (const auto& e : fs::directory_iterator(site / "objects")) indexes += e.path().extension() == ".blocks";
  EXPECT_EQ(indexes, 1u);
  ASSERT_EQ(RunShell(Publish("static --site " + Quote(site.string()) + " --out " + Quote(root.string()))).code, 0);
  ASSERT_EQ(ReadFile(root / "objects" / index), ReadFile(site / "objects" / index));
  const std::string check = "check --static " + Quote(root.string()) + " --key " +
                            Quote((dir.path() / "pub.pem").string()) + " --client " + Quote((site / "client").string());
  const auto good = RunShell(Publish(check));
  EXPECT_EQ(good.code, 0) << good.out;

  // A block that is not the client's, then no index at all.
  std::string bytes = ReadFile(root / "objects" / index);
  bytes[bytes.size() - 1] = static_cast<char>(~bytes[bytes.size() - 1]);
  WriteFile(root / "objects" / index, bytes);
  const auto lying = RunShell(Publish(check));
  EXPECT_EQ(lying.code, 1);
  EXPECT_NE(lying.out.find("web root: objects/" + index + " does not match the client's data/big.pck"),
            std::string::npos) << lying.out;
  fs::remove(root / "objects" / index);
  const auto missing = RunShell(Publish(check));
  EXPECT_NE(missing.out.find("web root: missing: objects/" + index + " (data/big.pck)"), std::string::npos)
      << missing.out;

  // The index goes with its object once the file has left the list.
  fs::remove(site / "client" / "data" / "big.pck");
  ASSERT_EQ(RunShell(Publish("site --site " + Quote(site.string()) + " --key " +
                             Quote((dir.path() / "priv.pem").string()) + " --build 6 --keep-days 0")).code, 0);
  EXPECT_FALSE(fs::exists(site / "objects" / Md5Hex(pack)));
  EXPECT_FALSE(fs::exists(site / "objects" / index));
}

TEST_F(PublishTest, CheckerNamesListsThatAreSignedButUnsafe) {
  const std::string priv = ReadFile(dir.path() / "priv.pem");
  const std::string md5(32, 'a');
  const std::string text = "# 5\n# без паков\n" + md5 + " 3 " + EncodeBase64("../outside.txt") + "\n" + md5 +
                           " 3 " + EncodeBase64("a\\b.txt") + "\n" + md5 + " 3 " + EncodeBase64("a/b.txt") +
                           "\n" + md5 + " " + EncodeBase64("nosize") + "\n";
  std::string document;
  std::string error;
  ASSERT_TRUE(tools::SignList(text, priv, document, error)) << error;
  const tools::ListCheck check = tools::CheckList(document, ReadFile(dir.path() / "pub.pem"));
  EXPECT_TRUE(check.signatureOk);
  EXPECT_FALSE(check.ok);
  EXPECT_FALSE(check.hasPacks);
  EXPECT_EQ(check.build, 5);
  EXPECT_FALSE(check.sizesKnown);
  EXPECT_EQ(check.totalSize, 0u);
  std::string all;
  for (const auto& p : check.problems) all += p + "\n";
  EXPECT_NE(all.find("would leave the client folder"), std::string::npos) << all;
  EXPECT_NE(all.find("listed twice"), std::string::npos) << "a\\b and a/b are the same file to the launcher\n" << all;
}

TEST_F(PublishTest, CheckerRefusesListsTheLauncherRefusesAsBroken) {
  const std::string priv = ReadFile(dir.path() / "priv.pem");
  const auto line = [](const std::string& size, const std::string& path) {
    return std::string(32, 'a') + " " + size + " " + EncodeBase64(path) + "\n";
  };
  struct Case {
    std::string text;
    const char* problem;
  };
  const Case cases[] = {
      {line("1", "data/x.pck") + line("1", "data/X.PCK.part"), "is the download file of \"data/x.pck\""},
      {line("1", "x.part") + line("1", "x"), "line 2: \"x.part\" is the download file of \"x\" (line 3)"},
      {line("18446744073709551615", "a"), "add up to more than 1125899906842624 bytes"},
      {line("9223372036854775808", "a") + line("9223372036854775808", "b"), "add up to more than"},
      {line("1125899906842624", "a") + line("1", "b"), "line 3: the sizes add up to more than"},
      {line("12345678901234567890123456", "a"), "is not a decimal number"},
      {line("12abc", "a"), "is not a decimal number"},
      {"# " + std::string(4u << 20, 'x') + "\n" + line("1", "a"), "the launcher reads at most 4194304"},
      // Windows takes these for one file, so the launcher does everywhere.
      {line("1", "data\\a.pck") + line("1", "b") + line("2", "DATA/A.pck"),
       "line 4: \"DATA/A.pck\" is listed twice (first on line 2 as \"data/a.pck\"): the launcher refuses the list"},
      {line("1", "a") + line("1", "a"), "line 3: \"a\" is listed twice (first on line 2): the launcher refuses"},
  };
  for (const Case& c : cases) {
    std::string document;
    std::string error;
    ASSERT_TRUE(tools::SignList("# 5\n" + c.text, priv, document, error)) << error;
    const auto run = Check(document);
    EXPECT_EQ(run.code, 1) << c.problem;
    EXPECT_NE(run.out.find(c.problem), std::string::npos) << run.out.substr(0, 2000);
    EXPECT_NE(run.out.find("list REFUSED"), std::string::npos) << c.problem;
  }
}

// An entry the launcher skips would leave a signed list installing less than
// it names, so the checker refuses every path the launcher's reader passes
// over, and the publisher never writes one.
TEST_F(PublishTest, CheckerRefusesEntriesTheLauncherSkips) {
  const std::string priv = ReadFile(dir.path() / "priv.pem");
  const std::vector<std::string> skipped = {"data:stream.pck", "C:/x.pck",       "a\x01" "b.pck", "new\nline", "...",
                                            "data/. ./x.pck",  "data/.../x.pck", "data/ /x"};
  for (const std::string& path : skipped) {
    std::string document;
    std::string error;
    ASSERT_TRUE(tools::SignList("# 5\n" + std::string(32, 'a') + " 1 " + EncodeBase64("ok.pck") + "\n" +
                                    std::string(32, 'a') + " 1 " + EncodeBase64(path) + "\n",
                                priv, document, error))
        << error;
    std::string signedText;
    ASSERT_TRUE(VerifyListSignature(document, ReadFile(dir.path() / "pub.pem"), signedText));
    EXPECT_EQ(ParseFileList(signedText).entries.size(), 1u) << "the launcher reads only ok.pck beside " << path;
    const auto run = Check(document);
    EXPECT_EQ(run.code, 1) << path << "\n" << run.out;
    EXPECT_NE(run.out.find("line 3: the path"), std::string::npos) << path << "\n" << run.out;
    EXPECT_NE(run.out.find("list REFUSED"), std::string::npos) << path;
  }
  WriteFile(client / "data:stream.pck", "x");
  std::vector<tools::ListFile> files;
  std::string error;
  EXPECT_FALSE(tools::CollectClientFiles(client, files, error));
  EXPECT_NE(error.find("data:stream.pck"), std::string::npos) << error;
}

TEST_F(PublishTest, NoPacksListCarriesTheComment) {
  const std::string list = MakeList("--no-packs");
  EXPECT_TRUE(list.starts_with("# 7\n# без паков\n"));
  EXPECT_EQ(OpensslVerify(list).code, 0);
  const auto run = Check(list);
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_NE(run.out.find("refuses to install"), std::string::npos);
}

TEST_F(PublishTest, RefusesClientFilesTheLauncherCouldNotInstallFaithfully) {
  WriteFile(client / "back\\slash.txt", "x");
  std::vector<tools::ListFile> files;
  std::string error;
  EXPECT_FALSE(tools::CollectClientFiles(client, files, error));
  EXPECT_NE(error.find("backslash"), std::string::npos) << error;
  fs::remove(client / "back\\slash.txt");

  // On Windows the second is the first's download file.
  WriteFile(client / "element" / "ПУСТОЙ.BIN.part", "x");
  EXPECT_FALSE(tools::CollectClientFiles(client, files, error));
  EXPECT_NE(error.find("is the name the launcher downloads \"element/пустой.bin\" through"), std::string::npos) << error;
  fs::remove(client / "element" / "ПУСТОЙ.BIN.part");

  // Two files a case-sensitive disk keeps apart are one file on Windows.
  WriteFile(client / "Element" / "пустой.bin", "y");
  EXPECT_FALSE(tools::CollectClientFiles(client, files, error));
  EXPECT_NE(error.find("\"Element/пустой.bin\" and \"element/пустой.bin\" are one file on Windows"), std::string::npos)
      << error;
  fs::remove_all(client / "Element");

  fs::create_symlink("/etc/hostname", client / "link");
  EXPECT_FALSE(tools::CollectClientFiles(client, files, error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  fs::remove(client / "link");

  EXPECT_TRUE(tools::CollectClientFiles(client, files, error)) << error;
  const auto site = RunShell(Publish("list --client " + Quote((dir.path() / "nothing").string()) + " --key " +
                                     Quote((dir.path() / "priv.pem").string()) + " --build 1 --out -"));
  EXPECT_EQ(site.code, 1);
}

TEST_F(PublishTest, ASiteIsSignedBelowItsCurrentBuildOnlyWhenToldTo) {
  const fs::path site = dir.path() / "site";
  fs::create_directories(site);
  fs::copy(client, site / "client", fs::copy_options::recursive);
  const auto publish = [&](const std::string& build, const std::string& extra = "") {
    return RunShell(Publish("site --site " + Quote(site.string()) + " --key " + Quote((dir.path() / "priv.pem").string()) +
                            " --build " + build + extra));
  };
  ASSERT_EQ(publish("5").code, 0);
  EXPECT_EQ(publish("5").code, 0);
  const std::string five = ReadFile(site / "TRN" / "element" / "files.md5");
  const auto refused = publish("4");
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.out.find("the site publishes build 5; launchers that have had it refuse build 4"),
            std::string::npos)
      << refused.out;
  EXPECT_EQ(ReadFile(site / "TRN" / "element" / "files.md5"), five);
  EXPECT_EQ(ReadFile(site / "TRN" / "element" / "version"), "5\n");
  EXPECT_EQ(publish("4", " --allow-older").code, 0);
  EXPECT_TRUE(ReadFile(site / "TRN" / "element" / "files.md5").starts_with("# 4\n"));
  EXPECT_EQ(publish("6").code, 0);
}

TEST_F(PublishTest, EveryBuildsFilesStayUnderTheirMd5UntilTheirDaysAreUp) {
  const fs::path site = dir.path() / "site";
  const fs::path www = dir.path() / "www";
  fs::create_directories(site);
  fs::copy(client, site / "client", fs::copy_options::recursive);
  const auto run = [&](const std::string& args) {
    const auto r = RunShell(Publish(args));
    EXPECT_EQ(r.code, 0) << args << ": " << r.out;
  };
  const auto publish = [&](int build, const std::string& extra = "") {
    run("site --site " + Quote(site.string()) + " --key " + Quote((dir.path() / "priv.pem").string()) + " --build " +
        std::to_string(build) + extra);
    run("static --site " + Quote(site.string()) + " --out " + Quote(www.string()) + extra);
  };
  const fs::path exe = site / "client" / "ElementClient.exe";
  const std::string exeMd5 = Md5Hex("stand-in");
  const std::string zoneMd5 = Md5Hex(std::string(70000, 'x'));
  publish(5);
  for (const fs::path& objects : {site / "objects", www / "objects"}) {
    EXPECT_EQ(ReadFile(objects / exeMd5), "stand-in");
    EXPECT_EQ(ReadFile(objects / zoneMd5), std::string(70000, 'x'));
    EXPECT_EQ(ReadFile(objects / Md5Hex("")), "");
  }
  EXPECT_EQ(fs::hard_link_count(site / "objects" / exeMd5), 1u) << "an object shares no inode with client/";

  // The next build copied over the old one in place, a file dropped: the
  // objects and the web root keep serving build 5 until build 6 is out.
  WriteFile(exe, "stand-in, build 6");
  fs::remove(site / "client" / "element" / "Мир 1" / "зона 07.dat");
  run("static --site " + Quote(site.string()) + " --out " + Quote(www.string()));
  EXPECT_EQ(ReadFile(www / "files" / StaticFileName("ElementClient.exe")), "stand-in");
  EXPECT_EQ(ReadFile(site / "objects" / exeMd5), "stand-in");
  publish(6);
  EXPECT_EQ(ReadFile(www / "files" / StaticFileName("ElementClient.exe")), "stand-in, build 6");
  EXPECT_FALSE(fs::exists(www / "files" / StaticFileName("element/Мир 1/зона 07.dat")));
  for (const fs::path& objects : {site / "objects", www / "objects"}) {
    EXPECT_EQ(ReadFile(objects / exeMd5), "stand-in") << objects;
    EXPECT_EQ(ReadFile(objects / zoneMd5), std::string(70000, 'x')) << objects;
    EXPECT_EQ(ReadFile(objects / Md5Hex("stand-in, build 6")), "stand-in, build 6") << objects;
    const std::string retired = ReadFile(objects / "retired");
    EXPECT_NE(retired.find(exeMd5 + " "), std::string::npos) << retired;
    EXPECT_NE(retired.find(zoneMd5 + " "), std::string::npos) << retired;
    EXPECT_EQ(retired.find(Md5Hex("")), std::string::npos) << "a file still listed is not retired: " << retired;
  }

  // A week on nothing goes; the day after, the retired objects do, and a
  // file that comes back is listed, not retired.
  const auto age = [&](int days) {
    const long at = static_cast<long>(time(nullptr)) - days * 86400L - 60;
    for (const fs::path& objects : {site / "objects", www / "objects"}) {
      WriteFile(objects / "retired", exeMd5 + " " + std::to_string(at) + "\n" + zoneMd5 + " " + std::to_string(at) +
                                          "\nnot-an-md5 0\n");
    }
  };
  age(6);
  publish(6);
  EXPECT_TRUE(fs::exists(www / "objects" / exeMd5));
  WriteFile(site / "client" / "element" / "Мир 1" / "зона 07.dat", std::string(70000, 'x'));
  age(8);
  publish(7);
  for (const fs::path& objects : {site / "objects", www / "objects"}) {
    EXPECT_FALSE(fs::exists(objects / exeMd5)) << objects;
    EXPECT_EQ(ReadFile(objects / zoneMd5), std::string(70000, 'x')) << objects;
    EXPECT_EQ(ReadFile(objects / "retired"), "") << objects;
  }
  // --keep-days 0 drops them at once; a bad count is refused before anything.
  WriteFile(exe, "stand-in, build 8");
  publish(8, " --keep-days 0");
  EXPECT_FALSE(fs::exists(www / "objects" / Md5Hex("stand-in, build 6")));
  EXPECT_FALSE(fs::exists(site / "objects" / Md5Hex("stand-in, build 6")));
  for (const char* bad : {"-1", "x", "3651"}) {
    EXPECT_EQ(RunShell(Publish("static --site " + Quote(site.string()) + " --out " + Quote(www.string()) +
                               " --keep-days " + bad)).code, 2) << bad;
  }

  // A site published before it kept objects still makes a web root, from
  // client/, checked against the list.
  fs::remove_all(site / "objects");
  fs::remove_all(www);
  run("static --site " + Quote(site.string()) + " --out " + Quote(www.string()));
  EXPECT_EQ(ReadFile(www / "objects" / Md5Hex("stand-in, build 8")), "stand-in, build 8");
  WriteFile(exe, "changed after the publish");
  fs::remove_all(www);
  const auto stale = RunShell(Publish("static --site " + Quote(site.string()) + " --out " + Quote(www.string())));
  EXPECT_EQ(stale.code, 1);
  EXPECT_NE(stale.out.find("changed while it was published"), std::string::npos) << stale.out;
  EXPECT_FALSE(fs::exists(www / "TRN" / "element" / "files.md5")) << "no list names files that are not there";

  // A build without files retires every object and publishes.
  fs::remove_all(site / "objects");
  fs::remove_all(site / "client");
  fs::create_directories(site / "client");
  publish(9);
  EXPECT_EQ(ReadFile(www / "TRN" / "element" / "version"), "9\n");
}

TEST_F(PublishTest, AnEpochTableIsSignedWithTheSiteAndGoesOutWithItsStaticCopy) {
  const fs::path site = dir.path() / "site";
  const fs::path web = dir.path() / "web";
  fs::create_directories(site);
  fs::copy(client, site / "client", fs::copy_options::recursive);
  const fs::path table = site / "TRN" / "element" / "epochs";
  const auto publish = [&](const std::string& build, const std::string& rows) {
    WriteFile(dir.path() / "epochs.txt", rows);
    return RunShell(Publish("site --site " + Quote(site.string()) + " --key " + Quote((dir.path() / "priv.pem").string()) +
                            " --build " + build + " --epochs " + Quote((dir.path() / "epochs.txt").string())));
  };
  const auto toWeb = [&] {
    return RunShell(Publish("static --site " + Quote(site.string()) + " --out " + Quote(web.string())));
  };

  // CRLF rows as an editor on Windows saves them; no row for the build is
  // worth a note, not a refusal.
  const auto noted = publish("5", "# эпохи\r\n1 1.0 3 30 Заря\r\n4 2.0 0 30 Полдень\r\n");
  ASSERT_EQ(noted.code, 0) << noted.out;
  EXPECT_NE(noted.out.find("note: the epoch table names no build 5"), std::string::npos) << noted.out;
  std::string text;
  ASSERT_TRUE(VerifyListSignature(ReadFile(table), ReadFile(dir.path() / "pub.pem"), text));
  EXPECT_EQ(text, "# эпохи\n1 1.0 3 30 Заря\n4 2.0 0 30 Полдень\n");
  EXPECT_EQ(OpensslVerify(ReadFile(table)).code, 0);
  ASSERT_EQ(toWeb().code, 0);
  EXPECT_EQ(ReadFile(web / "TRN" / "element" / "epochs"), ReadFile(table));

  // Rows the launcher would skip: refused with their lines, nothing written.
  const std::string before = ReadFile(table);
  const auto refused = publish("6", "6 1.0 31 30 Поздно\n7 1.0 1 2\n8 1.0 1 2 Верно\n");
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.out.find("launchers would skip these lines of the epoch table: 1 2 ("), std::string::npos)
      << refused.out;
  EXPECT_EQ(ReadFile(table), before);
  EXPECT_EQ(ReadFile(site / "TRN" / "element" / "version"), "5\n");

  const auto named = publish("6", "6 2.1 1 30 Закат\n");
  ASSERT_EQ(named.code, 0) << named.out;
  EXPECT_EQ(named.out.find("note:"), std::string::npos) << named.out;

  // A site without a table leaves none on the web server either.
  fs::remove(table);
  ASSERT_EQ(toWeb().code, 0);
  EXPECT_FALSE(fs::exists(web / "TRN" / "element" / "epochs"));
}

// The launcher's record: its SHA-256 signature verified by openssl alone,
// serials that only grow, names the launcher would refuse never signed, and
// the static web root carrying the record after its files.
TEST_F(PublishTest, ALauncherRecordIsSignedOverSha256WithSerialsThatOnlyGrow) {
  const fs::path site = dir.path() / "site";
  WriteFile(dir.path() / "setup 1.2.exe", "installer");
  WriteFile(dir.path() / "t.deb", "package");
  const std::string key = " --key " + Quote((dir.path() / "priv.pem").string());
  const auto publish = [&](const std::string& extra) {
    return RunShell(Publish("launcher --site " + Quote(site.string()) + key + " " + extra));
  };
  const std::string deb = " --linux " + Quote((dir.path() / "t.deb").string());
  struct Row {
    std::string args;
    int code;
    std::string says;
  } const rows[] = {
      {"--version 1.2" + deb, 0, "as record 1"},
      {"--version 1.2" + deb, 0, "as record 2"},
      {"--version 1.3 --serial 2" + deb, 1, "a new one needs a higher serial"},
      {"--version 1.3 --serial 9" + deb, 0, "as record 9"},
      {"--version 1.x" + deb, 1, "--version wants"},
      {"--version 1.3", 1, "name the release file"},
      {"--version 1.3 --expires-days 0" + deb, 1, "--expires-days"},
      {"--version 1.3 --windows " + Quote((dir.path() / "setup 1.2.exe").string()), 1, "not plain"},
      {"--version 1.3 --package 'a/b'" + deb, 1, "not plain"},
  };
  for (const Row& row : rows) {
    const auto run = publish(row.args);
    EXPECT_EQ(run.code, row.code) << row.args << run.out;
    EXPECT_NE(run.out.find(row.says), std::string::npos) << row.args << run.out;
  }
  const fs::path folder = site / "TRN" / "launcher";
  EXPECT_EQ(ReadFile(folder / "t.deb"), "package");
  EXPECT_FALSE(fs::exists(folder / "setup 1.2.exe")) << "a refused name is not served either";
  const std::string record = ReadFile(folder / "release");
  const std::string marker = "-----BEGIN TARN RELEASE SIGNATURE-----";
  ASSERT_NE(record.find(marker), std::string::npos);
  EXPECT_NE(record.find("serial 9\n"), std::string::npos);
  EXPECT_NE(record.find("file linux t.deb 7 " + RunShell("printf package | sha256sum | cut -c1-64").out.substr(0, 64)),
            std::string::npos)
      << record;
  WriteFile(dir.path() / "signed.txt", record.substr(0, record.find(marker)));
  WriteFile(dir.path() / "sig.b64", record.substr(record.find(marker) + marker.size()));
  const std::string d = Quote(dir.path().string());
  const auto verified = RunShell("cd " + d + " && openssl base64 -d -in sig.b64 -out sig.bin && "
                                 "openssl dgst -sha256 -verify pub.pem -signature sig.bin signed.txt");
  EXPECT_EQ(verified.code, 0) << verified.out;

  fs::copy(client, site / "client", fs::copy_options::recursive);
  ASSERT_EQ(RunShell(Publish("site --site " + Quote(site.string()) + key + " --build 5")).code, 0);
  ASSERT_EQ(RunShell(Publish("static --site " + Quote(site.string()) + " --out " + Quote((dir.path() / "www").string())))
                .code,
            0);
  EXPECT_EQ(ReadFile(dir.path() / "www" / "TRN" / "launcher" / "release"), record);
  EXPECT_EQ(ReadFile(dir.path() / "www" / "TRN" / "launcher" / "t.deb"), "package");
}

TEST(DemoSite, OneCommandMakesAVerifiableSiteAndTheSameSeedTheSameList) {
  TempDir dir;
  const fs::path site = dir.path() / "site";
  ASSERT_TRUE(MakeDemoSite(site, {"--size-mib", "3", "--files", "120"}));
  const fs::path client = site / "client";
  const auto check = RunShell(Quote(PublishProgram().string()) + " check --list " +
                              Quote((site / "TRN/element/files.md5").string()) + " --key " +
                              Quote(DemoPublicKey().string()) + " --client " + Quote(client.string()));
  EXPECT_EQ(check.code, 0) << check.out;
  EXPECT_NE(check.out.find("build: 3"), std::string::npos) << check.out;
  EXPECT_EQ(ReadFile(site / "TRN/element/version"), "3\n");

  size_t files = 0;
  uint64_t bytes = 0;
  bool cyrillicAndSpace = false;
  int depth = 0;
  for (const auto& e : fs::recursive_directory_iterator(client)) {
    if (!e.is_regular_file()) continue;
    ++files;
    bytes += e.file_size();
    const fs::path relPath = fs::relative(e.path(), client);
    const std::string rel = relPath.string();
    cyrillicAndSpace |= rel.find(' ') != std::string::npos && rel.find("Мир") != std::string::npos;
    depth = std::max(depth, static_cast<int>(std::distance(relPath.begin(), relPath.end())));
  }
  EXPECT_GE(files, 100u);
  EXPECT_NEAR(static_cast<double>(bytes), 3.0 * 1024 * 1024, 0.2 * 1024 * 1024);
  EXPECT_TRUE(cyrillicAndSpace);
  EXPECT_GE(depth, 4);
  EXPECT_EQ(access((client / "ElementClient.exe").c_str(), X_OK), 0);
  EXPECT_NE(ReadFile(site / "accounts.json").find("\"roles\""), std::string::npos);
  EXPECT_NE(ReadFile(site / "news.json").find("\"news\""), std::string::npos);

  EXPECT_FALSE(MakeDemoSite(site, {"--size-mib", "3", "--files", "120"})) << "an existing site is not replaced silently";
  const fs::path again = dir.path() / "again";
  ASSERT_TRUE(MakeDemoSite(again, {"--size-mib", "3", "--files", "120"}));
  EXPECT_EQ(ReadFile(site / "TRN/element/files.md5"), ReadFile(again / "TRN/element/files.md5"));
}

}  // namespace
}  // namespace tarn::test
