// The signed list: the signature check against the built-in key and the
// parser of the signed text.
#include <cstdint>
#include <string>

#include "client/file_list.h"
#include "fuzz.h"

using namespace tarn;
using fuzz::Check;

namespace {

void CheckList(const FileList& list) {
  uint64_t sum = 0;
  bool wrapped = false;
  for (const FileEntry& e : list.entries) {
    Check(IsContainedListPath(e.path), "every listed path stays inside the client folder");
    Check(!e.path.empty() && e.path.find('/') == std::string::npos, "paths are '\\\\' separated and not empty");
    Check(!e.md5.empty(), "every entry has a checksum token");
    wrapped = wrapped || e.size > UINT64_MAX - sum;
    sum += e.size;
  }
  Check(list.version >= -1, "the build number is a number or -1");
  if (list.defect != ListDefect::None) {
    Check(!list.sizesKnown && list.totalSize == 0, "a list no one may act on has no sizes");
    Check(!list.defectPath.empty(), "a defect names where it was found");
    if (list.defect == ListDefect::PartNameTaken)
      Check(ListPathKey(list.defectOwner + ".part") == ListPathKey(list.defectPath),
            "a clash names a file and the one its \".part\" file would overwrite");
    if (list.defect == ListDefect::PathRepeated)
      Check(ListPathKey(list.defectOwner) == ListPathKey(list.defectPath), "a repeat names two spellings of one file");
    return;
  }
  Check(list.sizesKnown ? list.totalSize == sum && !wrapped : list.totalSize == 0,
        "totalSize is the sum of known sizes, never wrapped, or 0");
  Check(list.totalSize <= kMaxListTotalBytes, "an accepted total fits any disk");
  // No entry's download may touch another listed file (checked pairwise,
  // apart from the parser's own search, on inputs of fuzzing size).
  if (list.entries.size() > 512) return;
  for (size_t i = 0; i < list.entries.size(); ++i)
    for (size_t j = 0; j < list.entries.size(); ++j) {
      const FileEntry& e = list.entries[i];
      const FileEntry& other = list.entries[j];
      Check(ListPathKey(e.path + ".part") != ListPathKey(other.path), "no entry is another's \".part\" file");
      Check(i == j || ListPathKey(e.path) != ListPathKey(other.path), "no file is named twice");
    }
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
