// The signed list: the signature check against the built-in key and the
// parser of the signed text.
#include <string>

#include "client/file_list.h"
#include "fuzz.h"

using namespace tarn;
using fuzz::Check;

namespace {

void CheckList(const FileList& list) {
  uint64_t sum = 0;
  for (const FileEntry& e : list.entries) {
    Check(IsContainedListPath(e.path), "every listed path stays inside the client folder");
    Check(!e.path.empty() && e.path.find('/') == std::string::npos, "paths are '\\\\' separated and not empty");
    Check(!e.md5.empty(), "every entry has a checksum token");
    sum += e.size;
  }
  Check(list.sizesKnown ? list.totalSize == sum : list.totalSize == 0, "totalSize is the sum of known sizes or 0");
  Check(list.version >= -1, "the build number is a number or -1");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz::Bytes(data, size);
  std::string signedText = "stale";
  if (VerifyListSignature(input, signedText)) {
    Check(signedText.find('\r') == std::string::npos, "the signed text has no CR");
    CheckList(ParseFileList(signedText));
  } else {
    Check(signedText.empty(), "a refused list gives no text");
  }
  // The parser never sees unsigned text in the launcher, but must not
  // depend on the signature for its own safety.
  CheckList(ParseFileList(input));
  return 0;
}
