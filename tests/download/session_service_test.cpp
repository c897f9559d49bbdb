// The downloader against the reference service and its fault injection,
// with the service's access log as the witness of what went over the wire.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>

#include "client/version_file.h"
#include "download/request_path.h"
#include "download/session.h"
#include "platform/crypto.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"
#include "update/update.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

class DownloadFromService : public test::ServiceLauncherTest {
 protected:
  void SetUp() override {
    std::mt19937 gen(11);
    file_.resize(1'500'000);
    for (char& c : file_) c = static_cast<char>(gen());
    test::WriteFile(site_ / "client" / "data" / "model.pck", file_);
    fs::create_directories(site_ / "TRN" / "element");
    test::WriteFile(site_ / "TRN" / "element" / "version", "3");
    ASSERT_NO_FATAL_FAILURE(StartService());
    PointInProcessCode();
  }
  DownloadResult Get() {
    std::string md5;
    EXPECT_TRUE(FileMd5Hex(test::PathUtf8(site_ / "client" / "data" / "model.pck"), md5));
    return DownloadFile(launcher.download, FileRequestPath("data\\model.pck"), target_, md5, file_.size(), {pause_, stop_}, {});
  }

  std::string file_;
  std::string target_ = test::PathUtf8(root_.path() / "game" / "data" / "model.pck");
  std::atomic<bool> pause_{false};
  std::atomic<bool> stop_{false};
};

TEST_F(DownloadFromService, ACutTransferResumesWithoutSendingAnythingTwice) {
  ASSERT_TRUE(service_.SetFaults("--cut-after 600000*1"));
  EXPECT_EQ(Get(), DownloadResult::NetworkError);
  EXPECT_EQ(fs::file_size(test::Utf8Path(target_ + ".part")), 600'000u);
  EXPECT_EQ(Get(), DownloadResult::Ok);
  EXPECT_EQ(test::ReadFile(test::Utf8Path(target_)), file_);
  EXPECT_FALSE(fs::exists(test::Utf8Path(target_ + ".part")));

  const auto log = FileRequests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].range, "-");
  EXPECT_EQ(log[0].bytes, 600'000u);
  EXPECT_EQ(log[1].status, 206);
  EXPECT_EQ(log[1].range, "bytes=600000-");
  EXPECT_EQ(log[1].bytes, file_.size() - 600'000);
}

TEST_F(DownloadFromService, AServerIgnoringRangeIsTakenFromTheStart) {
  test::WriteFile(test::Utf8Path(target_ + ".part"), file_.substr(0, 1000));
  ASSERT_TRUE(service_.SetFaults("--ignore-range"));
  EXPECT_EQ(Get(), DownloadResult::Ok);
  EXPECT_EQ(test::ReadFile(test::Utf8Path(target_)), file_);
  const auto log = FileRequests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].status, 200);
  EXPECT_EQ(log[0].range, "bytes=1000-");
}

TEST_F(DownloadFromService, CorruptBytesAndRefusalsAreReportedAndRecoveredFrom) {
  ASSERT_TRUE(service_.SetFaults("--corrupt data/model.pck*1"));
  EXPECT_EQ(Get(), DownloadResult::Corrupt);
  EXPECT_FALSE(fs::exists(test::Utf8Path(target_ + ".part")));
  EXPECT_FALSE(fs::exists(test::Utf8Path(target_)));

  ASSERT_TRUE(service_.SetFaults("--cut-after 1000*1 --status data/model.pck=503*1"));
  // The status fault answers first; the ".part" file is not touched by it.
  EXPECT_EQ(Get(), DownloadResult::ServerRefused);
  EXPECT_EQ(Get(), DownloadResult::NetworkError);
  EXPECT_EQ(Get(), DownloadResult::Ok);
  EXPECT_EQ(test::ReadFile(test::Utf8Path(target_)), file_);
}

}  // namespace
}  // namespace tarn
