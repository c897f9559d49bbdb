#include "client/list_fetch.h"

#include <string>

#include "service/http.h"

namespace tarn {

ListFetch FetchFileList(FileList& list) {
  std::string body;
  uint32_t status = 0;
  if (!HttpCall("GET", kFileListPath, "", body, status) || status != 200) return ListFetch::Unreachable;
  std::string signedText;
  if (!VerifyListSignature(body, signedText)) return ListFetch::BadSignature;
  body = std::string();  // a long list need not be held twice while it is parsed
  list = ParseFileList(signedText);
  return ListFetch::Ok;
}

}  // namespace tarn
