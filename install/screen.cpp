#include <string>

#include "client/install_folder.h"
#include "client/install_record.h"
#include "client/list_fetch.h"
#include "install/engine.h"
#include "install/status.h"
#include "platform/disk.h"
#include "platform/paths.h"

namespace tarn {

bool FetchInstallList(InstallContext& ctx, FileList& list, std::string& message) {
  const ListFetch fetched = FetchFileList(ctx, list);
  if (fetched == ListFetch::Unreachable) {
    message =
        "Не удалось связаться с сервером обновлений. Проверьте подключение к интернету и попробуйте ещё раз через "
        "минуту.";
    return false;
  }
  if (fetched == ListFetch::Older) {
    message = ListRefusalText(ctx, fetched, list) +
              " Установка остановлена, ничего не записано: откатывать игру к старой сборке лаунчер не станет. "
              "Сообщите в поддержку.";
    return false;
  }
  if (fetched == ListFetch::TooLarge || fetched == ListFetch::Malformed) {
    message = ListRefusalText(ctx, fetched, list) +
              " Установка остановлена, ничего не записано. Это недосмотр на стороне сервера — сообщите в поддержку.";
    return false;
  }
  if (fetched == ListFetch::BadSignature) {
    message =
        "Список файлов пришёл с неверной подписью, установка остановлена. Так выглядит подмена по дороге — "
        "сообщите об этом в поддержку и не устанавливайте игру из других источников.";
    return false;
  }
  if (list.entries.empty()) {
    message = "Сервер отдал пустой список файлов. Скорее всего, идёт обслуживание — попробуйте позже.";
    return false;
  }
  if (!list.hasPacks) {
    message =
        "Список файлов на сервере собран без игровых архивов, поставить по нему игру нельзя. Это недосмотр на "
        "стороне сервера — сообщите в поддержку.";
    return false;
  }
  return true;
}

void RefreshInstallScreen(InstallContext& ctx) {
  {
    std::lock_guard lock(ctx.status.lock);
    ctx.status.state.stage = InstallStage::Preparing;
    ctx.status.state.error.clear();
  }
  PostInstallEvent(ctx);
  FileList list;
  std::string message;
  const bool ok = FetchInstallList(ctx, list, message);
  const std::string saved = GetConfigValue(ctx, "path");
  const bool resumable = !saved.empty() && GetConfigValue(ctx, "state") != InstallStageText(InstallStage::Installed);
  {
    std::lock_guard lock(ctx.status.lock);
    InstallState& s = ctx.status.state;
    if (ok) {
      s.stage = resumable ? InstallStage::Resumable : InstallStage::NotInstalled;
      s.totalBytes = list.totalSize;
      s.totalFiles = list.entries.size();
      s.version = list.version;
      s.error.clear();
    } else {
      s.stage = InstallStage::Failed;
      s.error = message;
    }
    s.path = resumable ? saved : DefaultInstallFolder();
    s.freeBytes = FreeSpaceOf(s.path.empty() ? SystemDiskRoot() : s.path);
  }
  PostInstallEvent(ctx);
}

}  // namespace tarn
