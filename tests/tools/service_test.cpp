// The reference service on a free port, driven by the curl command line.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <thread>

#include "cli.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"
#include "tools/common/crypto.h"

namespace tarn::test {
namespace {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kSize = 100000;

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + i / 7);
  return s;
}

class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    site_ = new TempDir;
    const fs::path client = site_->path() / "client";
    WriteFile(client / "element" / "Мир 1" / "big file.pck", Pattern(kSize));
    WriteFile(client / "ElementClient.exe", "stand-in");
    WriteFile(client / "empty.dat", "");
    WriteFile(site_->path() / "secret.txt", "outside the client folder");
    WriteFile(site_->path() / "accounts.json",
              R"({"accounts":[{"login":"demo","password":"demo","roles":[{"name":"Арина","level":42}]},)"
              R"({"login":"тестер","password":"пароль 123","roles":[]}]})");
    WriteFile(site_->path() / "news.json", "{\"news\": [ {\"title\" : \"Эпоха\"} ]}\n");
    ASSERT_TRUE(PublishSite(site_->path(), 3));
    // Put in after publishing, which refuses links: a link planted in the
    // folder later must not lead the service out of it.
    fs::create_symlink(site_->path() / "secret.txt", client / "escape.lnk");
  }
  static void TearDownTestSuite() {
    delete site_;
    site_ = nullptr;
  }

  void SetUp() override { Start({}); }

  void Start(std::vector<std::string> args, double ttl = 60) {
    ServiceOptions options;
    options.site = site_->path();
    options.port = 0;
    options.ticketTtlSeconds = ttl;
    options.args = std::move(args);
    ASSERT_TRUE(service.Start(options)) << service.error();
  }

  // curl with the headers written to a file; answers the exit code.
  Shell Curl(const std::string& args, const std::string& target) {
    return RunShell("curl -sS -D " + Quote((work.path() / "headers").string()) + " " + args + " " +
                    Quote(service.Url(target)));
  }
  std::string Headers() { return ReadFile(work.path() / "headers"); }
  int Status() {
    const std::string h = Headers();
    const size_t at = h.rfind("HTTP/1.1 ");
    return at == std::string::npos ? 0 : std::atoi(h.c_str() + at + 9);
  }
  std::string Header(const std::string& name) {
    const std::string h = Headers();
    const size_t at = h.find("\n" + name + ": ");
    if (at == std::string::npos) return "";
    const size_t start = at + name.size() + 3;
    return h.substr(start, h.find('\r', start) - start);
  }
  fs::path Out(const std::string& name) { return work.path() / name; }

  static inline TempDir* site_ = nullptr;
  const std::string big = FileTarget("element\\Мир 1\\big file.pck");
  ServiceProcess service;
  TempDir work;
};

TEST_F(ServiceTest, WholeFileRangesAndUnsatisfiableOffsets) {
  const std::string original = Pattern(kSize);
  ASSERT_EQ(Curl("-o " + Quote(Out("full").string()), big).code, 0);
  EXPECT_EQ(Status(), 200);
  EXPECT_EQ(ReadFile(Out("full")), original);
  EXPECT_EQ(Header("Accept-Ranges"), "bytes");

  ASSERT_EQ(Curl("-r 1000- -o " + Quote(Out("tail").string()), big).code, 0);
  EXPECT_EQ(Status(), 206);
  EXPECT_EQ(Header("Content-Range"), "bytes 1000-99999/100000");
  EXPECT_EQ(ReadFile(Out("tail")), original.substr(1000));

  ASSERT_EQ(Curl("-r 10-19 -o " + Quote(Out("mid").string()), big).code, 0);
  EXPECT_EQ(Status(), 206);
  EXPECT_EQ(Header("Content-Range"), "bytes 10-19/100000");
  EXPECT_EQ(ReadFile(Out("mid")), original.substr(10, 10));

  ASSERT_EQ(Curl("-r 99999- -o " + Quote(Out("last").string()), big).code, 0);
  EXPECT_EQ(ReadFile(Out("last")), original.substr(99999));

  for (const char* offset : {"100000-", "250000-"}) {
    Curl("-r " + std::string(offset) + " -o /dev/null", big);
    EXPECT_EQ(Status(), 416) << offset;
    EXPECT_EQ(Header("Content-Range"), "bytes */100000") << offset;
  }
  // A client that percent-encodes the padding gets the same file.
  std::string encoded = FileTarget("ElementClient.exe");
  encoded.replace(encoded.rfind('='), 1, "%3D");
  EXPECT_EQ(Curl("", encoded).out, "stand-in");

  // An empty file: the whole of it is nothing, and any offset is past it.
  ASSERT_EQ(Curl("-o " + Quote(Out("empty").string()), FileTarget("empty.dat")).code, 0);
  EXPECT_EQ(Status(), 200);
  Curl("-r 0- -o /dev/null", FileTarget("empty.dat"));
  EXPECT_EQ(Status(), 416);
}

TEST_F(ServiceTest, ResumedDownloadEqualsTheOriginalAndSendsOnlyTheRest) {
  const std::string original = Pattern(kSize);
  WriteFile(Out("part"), original.substr(0, 30000));
  ASSERT_EQ(Curl("-C - -o " + Quote(Out("part").string()), big).code, 0);
  EXPECT_EQ(Status(), 206);
  EXPECT_EQ(ReadFile(Out("part")), original);
  const auto log = service.AccessLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().range, "bytes=30000-");
  EXPECT_EQ(log.back().bytes, kSize - 30000);
  EXPECT_EQ(log.back().status, 206);
}

TEST_F(ServiceTest, PathsLeavingTheClientFolderAreRefused) {
  for (const char* path : {"../secret.txt", "..\\secret.txt", "element/../../secret.txt", "/etc/passwd", "escape.lnk"}) {
    Curl("-o /dev/null", FileTarget(path));
    EXPECT_EQ(Status(), 403) << path;
  }
  Curl("-o /dev/null", FileTarget("element/none.pck"));
  EXPECT_EQ(Status(), 404);
  Curl("-o /dev/null", FileTarget("element"));
  EXPECT_EQ(Status(), 404) << "a folder is not a file";
  for (const char* bad : {"/api/file?n=%%%", "/api/file?n=", "/api/file"}) {
    Curl("-o /dev/null", bad);
    EXPECT_EQ(Status(), 400) << bad;
  }
  Curl("--path-as-is -o /dev/null", "/TRN/../secret.txt");
  EXPECT_NE(Status(), 200);
}

TEST_F(ServiceTest, UpdateDocumentsAreServedAsPublished) {
  ASSERT_EQ(Curl("-o " + Quote(Out("list").string()), "/TRN/element/files.md5").code, 0);
  EXPECT_EQ(Status(), 200);
  EXPECT_EQ(ReadFile(Out("list")), ReadFile(site_->path() / "TRN/element/files.md5"));
  const auto version = Curl("", "/TRN/element/version");
  EXPECT_EQ(version.out, "3\n");
}

TEST_F(ServiceTest, AuthChecksCredentialsAndAnswersRolesFirst) {
  auto run = Curl("-d " + Quote(R"({"login":"demo","password":"demo","fresh":true})"), "/api/auth");
  EXPECT_EQ(Status(), 200);
  EXPECT_TRUE(run.out.starts_with(R"({"roles":[{"name":"Арина","level":42}])")) << run.out;

  run = Curl("-d " + Quote(R"({"login":"\u0442\u0435\u0441\u0442\u0435\u0440","password":"пароль 123"})"), "/api/auth");
  EXPECT_EQ(Status(), 200) << "escapes are decoded: " << run.out;

  Curl("-d " + Quote(R"({"login":"demo","password":"Demo"})"), "/api/auth");
  EXPECT_EQ(Status(), 401);
  Curl("-d " + Quote(R"({"login":"nobody","password":"demo"})"), "/api/auth");
  EXPECT_EQ(Status(), 401);
  // A password that smuggles a second key inside its own value.
  Curl("-d " + Quote(R"({"login":"demo","password":"x\",\"password\":\"demo"})"), "/api/auth");
  EXPECT_EQ(Status(), 401);
  Curl("-d 'not json'", "/api/auth");
  EXPECT_EQ(Status(), 400);
}

TEST_F(ServiceTest, NewsIsServedCharacterForCharacter) {
  const auto run = Curl("", "/api/news");
  EXPECT_EQ(Status(), 200);
  EXPECT_EQ(run.out, ReadFile(site_->path() / "news.json"));
}

TEST_F(ServiceTest, TicketOpensTheCabinetOnceAndOnlyWhileFresh) {
  auto run = Curl("-d " + Quote(R"({"login":"demo","password":"demo"})"), "/api/ticket");
  ASSERT_EQ(Status(), 200);
  const size_t at = run.out.find("\"ticket\":\"");
  ASSERT_NE(at, std::string::npos) << run.out;
  const std::string ticket = run.out.substr(at + 10, 32);

  run = Curl("", "/cabinet?t=" + ticket);
  EXPECT_EQ(Status(), 200);
  EXPECT_NE(run.out.find(">demo<"), std::string::npos) << run.out;
  Curl("-o /dev/null", "/cabinet?t=" + ticket);
  EXPECT_EQ(Status(), 403) << "a ticket is good for one visit";
  Curl("-o /dev/null", "/cabinet?t=0123");
  EXPECT_EQ(Status(), 403);

  Curl("-d " + Quote(R"({"login":"demo","password":"bad"})"), "/api/ticket");
  EXPECT_EQ(Status(), 401);

  service.Stop();
  Start({}, 0.3);
  run = Curl("-d " + Quote(R"({"login":"demo","password":"demo"})"), "/api/ticket");
  const std::string late = run.out.substr(run.out.find("\"ticket\":\"") + 10, 32);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Curl("-o /dev/null", "/cabinet?t=" + late);
  EXPECT_EQ(Status(), 403) << "an expired ticket";
}

TEST_F(ServiceTest, CutAfterDropsTheConnectionAndCountsOnlyWhatWasSent) {
  ASSERT_TRUE(service.SetFaults("--cut-after 4096*1"));
  auto run = Curl("-o " + Quote(Out("cut").string()), big);
  EXPECT_NE(run.code, 0) << "curl sees a transfer cut short";
  EXPECT_EQ(ReadFile(Out("cut")).size(), 4096u);
  EXPECT_EQ(service.AccessLog().back().bytes, 4096u);
  // Used up after one answer: the resume gets the rest.
  run = Curl("-C - -o " + Quote(Out("cut").string()), big);
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_EQ(ReadFile(Out("cut")), Pattern(kSize));
  EXPECT_EQ(service.BytesSent("/api/file"), kSize);
}

TEST_F(ServiceTest, IgnoreRangeAnswersTheWholeFile) {
  service.Stop();
  Start({"--ignore-range"});
  Curl("-r 5000- -o " + Quote(Out("whole").string()), big);
  EXPECT_EQ(Status(), 200);
  EXPECT_EQ(Header("Content-Range"), "");
  EXPECT_EQ(ReadFile(Out("whole")), Pattern(kSize));
}

TEST_F(ServiceTest, StatusFaultMatchesPathTargetOrListPathForLimitedTimes) {
  ASSERT_TRUE(service.SetFaults("--status /api/news=503*2 --status \"element/Мир 1/big file.pck=500\""));
  Curl("-o /dev/null", "/api/news");
  EXPECT_EQ(Status(), 503);
  Curl("-o /dev/null", "/api/news");
  EXPECT_EQ(Status(), 503);
  Curl("-o /dev/null", "/api/news");
  EXPECT_EQ(Status(), 200);
  Curl("-r 10- -o /dev/null", big);
  EXPECT_EQ(Status(), 500);
  Curl("-o /dev/null", FileTarget("ElementClient.exe"));
  EXPECT_EQ(Status(), 200);
  ASSERT_TRUE(service.SetFaults(""));
  Curl("-o /dev/null", big);
  EXPECT_EQ(Status(), 200);
  EXPECT_FALSE(service.SetFaults("--no-such-fault"));
}

TEST_F(ServiceTest, CorruptKeepsTheSizeAndBreaksTheChecksum) {
  ASSERT_TRUE(service.SetFaults("--corrupt *"));
  Curl("-o " + Quote(Out("bad").string()), big);
  EXPECT_EQ(Status(), 200);
  const std::string bad = ReadFile(Out("bad"));
  EXPECT_EQ(bad.size(), kSize);
  EXPECT_NE(tools::Md5Hex(bad), tools::Md5Hex(Pattern(kSize)));
  Curl("-o " + Quote(Out("tiny").string()), FileTarget("ElementClient.exe"));
  EXPECT_NE(ReadFile(Out("tiny")), "stand-in") << "small files are corrupted too";
}

// Lower bounds only: a loaded machine may be slower, never faster.
TEST_F(ServiceTest, ThrottleAndDelaySlowTheAnswer) {
  ASSERT_TRUE(service.SetFaults("--throttle 200000"));
  auto started = Clock::now();
  ASSERT_EQ(Curl("-o /dev/null", big).code, 0);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(450));

  ASSERT_TRUE(service.SetFaults("--delay 300"));
  started = Clock::now();
  Curl("-o /dev/null", "/api/news");
  EXPECT_EQ(Status(), 200);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(300));
}

// The service keeps answering an install of the previous build with that
// build's bytes, by the MD5 the launcher's list gave, after the operator
// copied the next build over client/; nothing but 32 hex digits in h
// reaches the disk, and everything else falls back to the name.
TEST(ServiceObjects, AnEarlierBuildsBytesComeByTheirMd5WithRangesWhileTheNameServesTheCurrentFile) {
  TempDir site;
  TempDir work;
  const fs::path file = site.path() / "client" / "data" / "a.pck";
  WriteFile(file, Pattern(kSize));
  WriteFile(site.path() / "client" / "b.txt", "b");
  ASSERT_TRUE(PublishSite(site.path(), 3));
  WriteFile(file, "build 4");
  ServiceProcess service;
  ServiceOptions options;
  options.site = site.path();
  options.port = 0;
  ASSERT_TRUE(service.Start(options)) << service.error();
  const fs::path headers = work.path() / "headers";
  const fs::path body = work.path() / "body";
  struct Got {
    std::string status;
    std::string range;
    std::string body;
  };
  const auto get = [&](const std::string& target, const std::string& curlArgs = "") {
    RunShell("curl -sS -D " + Quote(headers.string()) + " -o " + Quote(body.string()) + " " + curlArgs + " " +
             Quote(service.Url(target)));
    const std::string h = ReadFile(headers);
    Got got{h.substr(9, 3), "", ReadFile(body)};
    if (const size_t at = h.find("Content-Range: "); at != std::string::npos)
      got.range = h.substr(at + 15, h.find('\r', at) - at - 15);
    return got;
  };
  const std::string md5 = tools::Md5Hex(Pattern(kSize));
  const std::string target = FileTarget("data\\a.pck") + "&h=" + md5;
  Got got = get(target);
  EXPECT_EQ(got.status, "200");
  EXPECT_EQ(got.body, Pattern(kSize));
  got = get(target, "-r 1000-");
  EXPECT_EQ(got.status, "206");
  EXPECT_EQ(got.range, "bytes 1000-99999/100000");
  EXPECT_EQ(got.body, Pattern(kSize).substr(1000));
  got = get(target, "-r 100000-");
  EXPECT_EQ(got.status, "416");
  EXPECT_EQ(got.range, "bytes */100000");

  std::string upper = md5;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& h : {std::string(), md5.substr(1), md5 + "0", upper, tools::Md5Hex("unknown"),
                               std::string("..%2Fclient%2Fb.txt"), std::string("retired"), md5 + "%00"}) {
    got = get(FileTarget("data/a.pck") + (h.empty() ? "" : "&h=" + h));
    EXPECT_EQ(got.status, "200") << h;
    EXPECT_EQ(got.body, "build 4") << "h=" << h << " falls back to the name";
  }
  // The name is still checked first, and a file gone from client/ is
  // served as long as its object is there.
  EXPECT_EQ(get("/api/file?n=%%%&h=" + md5).status, "400");
  fs::remove(file);
  EXPECT_EQ(get(target).body, Pattern(kSize));
  EXPECT_EQ(get(FileTarget("data/a.pck")).status, "404");
}

}  // namespace
}  // namespace tarn::test
