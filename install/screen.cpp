#include <string>

#include "client/install_folder.h"
#include "client/install_record.h"
#include "client/list_fetch.h"
#include "install/engine.h"
#include "install/status.h"
#include "platform/disk.h"
#include "platform/paths.h"

namespace tarn {

Result<void, InstallListProblem> FetchInstallList(InstallContext& ctx, FileList& list) {
  switch (FetchFileList(ctx, list)) {
    case ListFetch::Ok: break;
    case ListFetch::Unreachable: return Fail(InstallListProblem::Unreachable);
    case ListFetch::TooLarge: return Fail(InstallListProblem::TooLarge);
    case ListFetch::BadSignature: return Fail(InstallListProblem::BadSignature);
    case ListFetch::Malformed: return Fail(InstallListProblem::Malformed);
    case ListFetch::Older: return Fail(InstallListProblem::Older);
  }
  if (list.entries.empty()) return Fail(InstallListProblem::Empty);
  if (!list.hasPacks) return Fail(InstallListProblem::NoPacks);
  return {};
}

std::string InstallListProblemText(ClientContext& ctx, InstallListProblem problem, const FileList& list) {
  switch (problem) {
    case InstallListProblem::Unreachable:
      return "Не удалось связаться с сервером обновлений. Проверьте подключение к интернету и попробуйте ещё раз "
             "через минуту.";
    case InstallListProblem::Older:
      return ListRefusalText(ctx, ListFetch::Older, list) +
             " Установка остановлена, ничего не записано: откатывать игру к старой сборке лаунчер не станет. "
             "Сообщите в поддержку.";
    case InstallListProblem::TooLarge:
    case InstallListProblem::Malformed:
      return ListRefusalText(ctx, problem == InstallListProblem::TooLarge ? ListFetch::TooLarge : ListFetch::Malformed,
                             list) +
             " Установка остановлена, ничего не записано. Это недосмотр на стороне сервера — сообщите в поддержку.";
    case InstallListProblem::BadSignature:
      return "Список файлов пришёл с неверной подписью, установка остановлена. Так выглядит подмена по дороге — "
             "сообщите об этом в поддержку и не устанавливайте игру из других источников.";
    case InstallListProblem::Empty:
      return "Сервер отдал пустой список файлов. Скорее всего, идёт обслуживание — попробуйте позже.";
    case InstallListProblem::NoPacks:
      return "Список файлов на сервере собран без игровых архивов, поставить по нему игру нельзя. Это недосмотр на "
             "стороне сервера — сообщите в поддержку.";
  }
  return {};
}

void RefreshInstallScreen(InstallContext& ctx) {
  {
    std::lock_guard lock(ctx.status.lock);
    ctx.status.state.stage = InstallStage::Preparing;
    ctx.status.state.error.clear();
  }
  PostInstallEvent(ctx);
  FileList list;
  const auto fetched = FetchInstallList(ctx, list);
  const std::string problem = fetched ? std::string() : InstallListProblemText(ctx, fetched.reason(), list);
  const std::string saved = GetConfigValue(ctx, "path");
  const bool resumable = !saved.empty() && GetConfigValue(ctx, "state") != InstallStageText(InstallStage::Installed);
  {
    std::lock_guard lock(ctx.status.lock);
    InstallState& s = ctx.status.state;
    if (fetched) {
      s.stage = resumable ? InstallStage::Resumable : InstallStage::NotInstalled;
      s.totalBytes = list.totalSize;
      s.totalFiles = list.entries.size();
      s.version = list.version;
      s.error.clear();
    } else {
      s.stage = InstallStage::Failed;
      s.error = problem;
    }
    s.path = resumable ? saved : DefaultInstallFolder();
    s.freeBytes = FreeSpaceOf(s.path.empty() ? SystemDiskRoot() : s.path);
  }
  PostInstallEvent(ctx);
}

}  // namespace tarn
