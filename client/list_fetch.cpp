#include "client/list_fetch.h"

#include <string>

#include "service/call.h"

namespace tarn {

ListFetch FetchFileList(LauncherContext& ctx, FileList& list) {
  std::string body;
  uint32_t status = 0;
  bool tooLarge = false;
  if (!HttpCall(ctx, "GET", kFileListPath, "", body, status, &tooLarge) || status != 200)
    return tooLarge ? ListFetch::TooLarge : ListFetch::Unreachable;
  std::string signedText;
  if (!VerifyListSignature(body, signedText)) return ListFetch::BadSignature;
  body = std::string();  // a long list need not be held twice while it is parsed
  list = ParseFileList(signedText);
  return list.defect == ListDefect::None ? ListFetch::Ok : ListFetch::Malformed;
}

size_t MaxListBytes() { return kFileListCapBytes; }

std::string ListRefusalText(ListFetch fetched, const FileList& list) {
  if (fetched == ListFetch::TooLarge)
    return "Список файлов на сервере больше " + std::to_string(MaxListBytes() >> 20) +
           " МБ — он слишком велик для этого лаунчера.";
  switch (list.defect) {
    case ListDefect::BadSize:
      return "Список файлов на сервере повреждён: размер файла «" + list.defectPath +
             "» записан не числом или больше, чем вмещает любой диск.";
    case ListDefect::SizesTooLarge:
      return "Список файлов на сервере повреждён: файлы в нём в сумме больше, чем вмещает любой диск.";
    case ListDefect::PartNameTaken:
      return "Список файлов на сервере называет «" + list.defectPath + "» — под этим именем докачивается «" +
             list.defectOwner + "», и один файл испортил бы другой.";
    case ListDefect::None:
      break;
  }
  return "Список файлов на сервере повреждён.";
}

}  // namespace tarn
