#include "update/launcher_update.h"

#include <chrono>
#include <ctime>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/tasks.h"
#include "bridge/text.h"
#include "client/install_record.h"
#include "client/writer_guard.h"
#include "download/session.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/file_lock.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/program_update.h"
#include "platform/thread.h"
#include "service/call.h"

namespace tarn {
namespace {

constexpr auto kCheckEvery = std::chrono::hours(24);
// How often a held-back offer looks whether the client job is over.
constexpr auto kOfferPoll = std::chrono::minutes(1);

// The release file this system takes: the installer where paths are
// Windows', the package elsewhere.
std::string_view OwnPlatform() { return NativeSeparator() == '\\' ? "windows" : "linux"; }

bool ClientJobRuns(LauncherUpdateContext& ctx) {
  return CurrentClientWriter(ctx.download.writer) != ClientWriter::Nobody;
}

void PostLauncherEvent(LauncherUpdateContext& ctx, const std::string& fields) {
  PostToUi(ctx.download.launcher, R"({"launcherUpdate":{)" + fields + "}}");
}

// The offer, when there is one and nothing holds it back.
void ShowOffer(LauncherUpdateContext& ctx) {
  std::string fields;
  {
    std::lock_guard guard(ctx.state.lock);
    if (!ctx.state.offered || ClientJobRuns(ctx)) return;
    const LauncherRelease& r = *ctx.state.offered;
    fields = R"("version":")" + JsonEscape(r.version) + '"';
    // A packaged launcher is the package manager's to replace.
    if (DescribeRunningProgram().kind == ProgramInstall::Package)
      fields += R"(,"package":")" + JsonEscape(r.package.empty() ? "tarn-launcher" : r.package) + '"';
    ctx.state.shown = true;
  }
  PostLauncherEvent(ctx, fields);
}

void Failed(LauncherUpdateContext& ctx, const std::string& why) {
  LogLine(ctx.download.launcher.log, "обновление лаунчера: %s", why.c_str());
  PostLauncherEvent(ctx, R"("failed":")" + JsonEscape(why) + '"');
}

std::string UpgradeErrorText(UpgradeError error) {
  switch (error) {
    case UpgradeError::Unsupported: return "этот лаунчер обновляется не сам, а своим установщиком или пакетом";
    case UpgradeError::Locked: return "файлы лаунчера заняты или защищены от записи — лаунчер оставлен как был";
    case UpgradeError::Unpack: return "скачанный файл не удалось распаковать — лаунчер оставлен как был";
    case UpgradeError::Start: return "установщик не запустился — лаунчер оставлен как был";
  }
  return "не удалось";
}

// Names the release file an update handed to its installer when the file
// could not go at once: Windows keeps a running program's file, and the
// installer still runs when it starts the new launcher.
constexpr std::string_view kHandedOverNote = "launcher-update.handed";
constexpr size_t kHandedOverNoteCap = 256;

std::string HandedOverNotePath(LauncherContext& ctx) { return JoinPath(DataPath(ctx), std::string(kHandedOverNote)); }

std::string Sha256Hex(const std::string& path) {
  Sha256Digest digest{};
  if (!Sha256OfFile(path, digest)) return "";
  return Sha256DigestHex(digest);
}

// Removes the file the note names ("name sha256") once its installer has
// ended, and only when it still holds the bytes the record named, so the
// note can take nothing else from the data folder. A file still held keeps
// the note for the next try. Never while a launcher of this data folder is
// updating, whose download may bear the same name.
void RemoveHandedOverFile(LauncherContext& ctx) {
  const std::string note = HandedOverNotePath(ctx);
  std::string text;
  if (!ReadFileStart(note, kHandedOverNoteCap, text)) return;
  const FileLock lock = TryLockFile(LauncherUpdateLockPath(ctx));
  if (!lock.ok()) return;
  const size_t space = text.find(' ');
  const std::string name = text.substr(0, space);
  const std::string sha256 = space == std::string::npos ? "" : text.substr(space + 1, 64);
  const std::string file = JoinPath(DataPath(ctx), name);
  if (IsPlainReleaseFileName(name) && sha256.size() == 64 && IsFile(file) && Sha256Hex(file) == sha256 &&
      !RemoveFile(file))
    return;
  RemoveFile(note);
}

}  // namespace

std::string LauncherUpdateLockPath(LauncherContext& ctx) { return JoinPath(DataPath(ctx), "launcher-update.lock"); }

void CheckLauncherReleaseOnce(LauncherUpdateContext& ctx) {
  LauncherContext& launcher = ctx.download.launcher;
  std::string body;
  uint32_t status = 0;
  bool tooLarge = false;
  if (!HttpCall(launcher, "GET", kLauncherReleasePath, "", body, status, &tooLarge) || status != 200) {
    // Most services publish no launcher at all: said once a run.
    if (launcher.log.FirstTime("launcher release unavailable"))
      LogLine(launcher.log, "запись о новом лаунчере: сервер не дал её (%u)", status);
    return;
  }
  ReleaseCheckInputs inputs{TrustedReleaseKeys(), ReadReleaseSerialFloor(launcher), static_cast<int64_t>(std::time(nullptr)),
                            LauncherVersion()};
  const ReleaseCheck check = CheckLauncherRelease(body, inputs);
  if (check.clockBehind)
    LogLine(launcher.log, "запись о новом лаунчере выпущена позже, чем показывают часы компьютера (%lld): часы отстают",
            static_cast<long long>(inputs.now));
  if (check.verdict == ReleaseVerdict::Newer || check.verdict == ReleaseVerdict::NotNewer)
    RaiseReleaseSerialFloor(launcher, check.release.serial);
  if (check.verdict != ReleaseVerdict::Newer) {
    if (check.verdict != ReleaseVerdict::NotNewer || launcher.log.FirstTime("launcher release not newer"))
      LogLine(launcher.log, "запись о новом лаунчере: %s", ReleaseVerdictText(check).c_str());
    return;
  }
  LogLine(launcher.log, "запись о новом лаунчере: %s (запись %d)", ReleaseVerdictText(check).c_str(),
          static_cast<int>(check.release.serial));
  {
    std::lock_guard guard(ctx.state.lock);
    const bool same = ctx.state.offered && ctx.state.offered->serial == check.release.serial && ctx.state.shown;
    ctx.state.offered = check.release;
    if (same) return;
    ctx.state.shown = false;
  }
  ShowOffer(ctx);
}

LauncherReleaseState::~LauncherReleaseState() {
  {
    std::lock_guard guard(timerLock);
    ending = true;
  }
  timerWake.notify_all();
  if (timer.joinable()) timer.join();
}

void WatchLauncherReleases(LauncherUpdateContext ctx) {
  if (ctx.state.watching.exchange(true)) {
    ShowOffer(ctx);
    return;
  }
  // What the last update left of the old launcher goes first.
  RemoveProgramLeftAside(DescribeRunningProgram());
  RemoveHandedOverFile(ctx.download.launcher);
  CheckLauncherReleaseOnce(ctx);
  std::lock_guard guard(ctx.state.timerLock);
  if (ctx.state.ending) return;
  ctx.state.timer = std::thread([ctx]() mutable {
    const std::atomic<bool>& stopping = ctx.download.launcher.tasks.stopping();
    auto next = std::chrono::steady_clock::now() + kCheckEvery;
    std::unique_lock lock(ctx.state.timerLock);
    while (!ctx.state.ending && !stopping.load()) {
      ctx.state.timerWake.wait_for(lock, kOfferPoll);
      if (ctx.state.ending || stopping.load()) break;
      lock.unlock();
      if (std::chrono::steady_clock::now() >= next) {
        CheckLauncherReleaseOnce(ctx);
        next = std::chrono::steady_clock::now() + kCheckEvery;
      } else {
        RemoveHandedOverFile(ctx.download.launcher);
        bool held;
        {
          std::lock_guard offer(ctx.state.lock);
          held = ctx.state.offered && !ctx.state.shown;
        }
        if (held) ShowOffer(ctx);
      }
      lock.lock();
    }
    lock.unlock();
    ReleaseThreadState();
  });
}

void UpdateLauncher(LauncherUpdateContext& ctx) {
  LauncherContext& launcher = ctx.download.launcher;
  std::optional<LauncherRelease> release;
  {
    std::lock_guard guard(ctx.state.lock);
    release = ctx.state.offered;
  }
  if (!release) return Failed(ctx, "новой версии лаунчера нет");
  const RunningProgram program = DescribeRunningProgram();
  if (program.kind == ProgramInstall::Package)
    return Failed(ctx, "обновите пакет " + (release->package.empty() ? std::string("tarn-launcher") : release->package) +
                           " через менеджер пакетов");
  const ReleaseFile* file = ReleaseFileFor(*release, OwnPlatform());
  if (!file) return Failed(ctx, "для этой системы новой версии нет");
  if (ClientJobRuns(ctx)) return Failed(ctx, "сначала дождитесь конца установки или обновления игры");
  MakeFolder(DataPath(launcher));
  // Held until this launcher is gone or gave up: a second launcher (a
  // window beside a headless run) cannot fetch or start the same file.
  const FileLock lock = TryLockFile(LauncherUpdateLockPath(launcher));
  if (!lock.ok()) return Failed(ctx, "другой лаунчер уже обновляется");

  const std::string target = JoinPath(DataPath(launcher), file->name);
  LogLine(launcher.log, "обновление лаунчера до %s: загрузка %s (%llu байт)", release->version.c_str(),
          file->name.c_str(), static_cast<unsigned long long>(file->size));
  PostLauncherEvent(ctx, R"("version":")" + JsonEscape(release->version) + R"(","percent":0)");
  const std::atomic<bool> noPause{false};
  const uint64_t size = file->size;
  const DownloadResult got = DownloadFile(
      ctx.download, std::string(kLauncherFilesPath) + file->name, target, {}, size,
      {noPause, launcher.tasks.stopping()},
      [&](uint64_t received) {
        PostLauncherEvent(ctx, R"("version":")" + JsonEscape(release->version) + R"(","percent":)" +
                                   std::to_string(size ? received * 100 / size : 0));
      },
      true);
  if (got != DownloadResult::Ok) return Failed(ctx, "загрузка не удалась: " + DownloadResultText(got));
  if (Sha256Hex(target) != file->sha256) {
    RemoveFile(target);
    return Failed(ctx, "скачанный файл не тот, что подписан (SHA-256 не сошёлся) — он удалён, лаунчер оставлен как был");
  }
  if (CheckPublisher(target) == PublisherCheck::Refused) {
    RemoveFile(target);
    return Failed(ctx, "скачанный файл подписан не тем издателем — он удалён, лаунчер оставлен как был");
  }
  const Result<void, UpgradeError> started = StartUpgrade(program, target);
  if (!started.ok()) return Failed(ctx, UpgradeErrorText(started.reason()));
  if (!RemoveFile(target)) ReplaceFileAtomically(HandedOverNotePath(launcher), file->name + " " + file->sha256 + "\n");
  LogLine(launcher.log, "лаунчер %s на месте — закрываюсь, следующий запуск будет новым", release->version.c_str());
  PostLauncherEvent(ctx, R"("version":")" + JsonEscape(release->version) + R"(","done":true)");
  CloseThroughHost(launcher);
}

}  // namespace tarn
