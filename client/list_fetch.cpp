#include "client/list_fetch.h"

#include <string>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "client/signed_build.h"
#include "service/call.h"

namespace tarn {

namespace {

// A service that asks to wait gets this many tries in all; its waits
// (at least kOwnWaitSeconds each) come between them, never after the last.
constexpr int kListTries = 3;
constexpr int64_t kOwnWaitSeconds = 1;

}  // namespace

ListFetch FetchFileList(ClientContext& ctx, FileList& list) {
  std::string body;
  uint32_t status = 0;
  bool tooLarge = false;
  for (int tried = 1;; ++tried) {
    int64_t retryAfter = -1;
    const bool answered = HttpCall(ctx, "GET", kFileListPath, "", body, status, &tooLarge, &retryAfter);
    if (answered && status == 200) break;
    if (!answered || !AsksToWait(status, retryAfter) || tried == kListTries)
      return tooLarge ? ListFetch::TooLarge : ListFetch::Unreachable;
    const int64_t seconds = ServiceWaitSeconds(retryAfter, kOwnWaitSeconds);
    LogLine(ctx.launcher.log, "список файлов: сервер ответил %u и просит подождать %lld с", status,
            static_cast<long long>(seconds));
    PostToUi(ctx, ServiceWaitEvent(seconds));
    // Closing the launcher, or stopping the install that asked, ends the
    // wait at once.
    if (!WaitUnlessStopped(std::chrono::seconds(seconds), [&ctx] {
          return ctx.launcher.tasks.stopping().load() || (ctx.installStopped && ctx.installStopped());
        }))
      return ListFetch::Unreachable;
  }
  std::string signedText;
  if (!VerifyListSignature(body, signedText)) return ListFetch::BadSignature;
  body = std::string();  // a long list need not be held twice while it is parsed
  list = ParseFileList(signedText);
  if (list.defect != ListDefect::None) return ListFetch::Malformed;
  // Anyone who serves files can serve an old signed list: a rollback.
  return list.version >= 0 && list.version < ReadBuildFloor(ctx) ? ListFetch::Older : ListFetch::Ok;
}

size_t MaxListBytes() { return kFileListCapBytes; }

std::string ListRefusalText(ClientContext& ctx, ListFetch fetched, const FileList& list) {
  if (fetched == ListFetch::TooLarge)
    return "Список файлов на сервере больше " + std::to_string(MaxListBytes() >> 20) +
           " МБ — он слишком велик для этого лаунчера.";
  if (fetched == ListFetch::Older)
    return "Клиент на сервере старше установленного: на сервере сборка " + std::to_string(list.version) +
           ", а у вас уже стояла сборка " + std::to_string(ReadBuildFloor(ctx)) + ".";
  switch (list.defect) {
    case ListDefect::BadSize:
      return "Список файлов на сервере повреждён: размер файла «" + list.defectPath +
             "» записан не числом или больше, чем вмещает любой диск.";
    case ListDefect::SizesTooLarge:
      return "Список файлов на сервере повреждён: файлы в нём в сумме больше, чем вмещает любой диск.";
    case ListDefect::PartNameTaken:
      return "Список файлов на сервере называет «" + list.defectPath + "» — под этим именем докачивается «" +
             list.defectOwner + "», и один файл испортил бы другой.";
    case ListDefect::PathRepeated:
      if (list.defectPath == list.defectOwner)
        return "Список файлов на сервере называет «" + list.defectPath + "» дважды, и неясно, какой из двух ставить.";
      return "Список файлов на сервере называет один файл дважды: «" + list.defectOwner + "» и «" + list.defectPath +
             "» — для Windows это одно имя, и неясно, какой из двух ставить.";
    case ListDefect::None:
      break;
  }
  return "Список файлов на сервере повреждён.";
}

}  // namespace tarn
