#pragma once
// The signed file list ("files.md5") from the operator's side: collecting a
// client folder, writing and signing the list, and checking a published one
// the way the launcher reads it, with a reason for every refusal.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::tools {

// The comment that marks a list built without the game's pack archives.
inline constexpr std::string_view kNoPacksComment = "без паков";

struct ListFile {
  std::string path;  // relative to the client folder, "/" separators, UTF-8
  uint64_t size = 0;
  std::string md5;   // lower-case hex
};

// Every regular file below clientDir, sorted by path. Fails, naming the
// file, on what the launcher could not install faithfully: symbolic links
// and special files, names that are not UTF-8, names holding "\" (the
// launcher treats it as a folder separator), and a name that is another's
// ".part" download file.
bool CollectClientFiles(const std::filesystem::path& clientDir, std::vector<ListFile>& files, std::string& error);

// The unsigned list text: the build number comment, the optional no-packs
// comment and one "md5 size base64(path)" line per file, LF line ends.
std::string ListText(int build, bool noPacks, const std::vector<ListFile>& files);

// Appends the signature block to listText. The signature covers listText
// with every CR removed, which is what the launcher hashes.
bool SignList(std::string_view listText, std::string_view privatePem, std::string& document, std::string& error);

struct ListCheck {
  bool ok = false;                    // signature valid and no problems
  bool signatureOk = false;
  std::vector<std::string> problems;  // why the list is unusable or unsafe
  std::vector<std::string> notes;     // worth knowing, not fatal
  int build = -1;
  bool hasPacks = true;
  bool sizesKnown = false;
  uint64_t totalSize = 0;
  std::vector<ListFile> entries;      // paths with "/" separators
};

// Checks a published list against a public key and reads it as the launcher
// would. The entries are read even when the signature fails, so that the
// operator sees what the list holds.
ListCheck CheckList(std::string_view document, std::string_view publicPem);

// How file differs from the list's entry ("missing: PATH", "size
// differs: ...", ...); empty when it is the listed file.
std::string FileDifference(const ListCheck& list, const ListFile& entry, const std::filesystem::path& file);

// Compares the entries of a list with the files of a client folder; one
// line per difference, and one per file of the folder the list does not
// name ("not in the list: PATH"): a file added after signing is never
// installed.
std::vector<std::string> CompareWithClient(const ListCheck& list, const std::filesystem::path& clientDir);

// Whether text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

}  // namespace tarn::tools
