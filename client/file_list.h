#pragma once
// The signed list of client files that the operator's service publishes as
// "/TRN/element/files.md5": the list text, then the marker
// "-----BEGIN ELEMENT SIGNATURE-----" and a Base64 RSA signature (PKCS #1
// v1.5 over the MD5 of every byte before the marker, CR bytes removed).
// Nothing in a list is used before its signature verifies against the key
// built into the launcher.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

struct FileEntry {
  std::string md5;   // the list's first token as written; case not folded
  uint64_t size = 0; // 0 when the line carries no size
  std::string path;  // relative to the client folder, '\' separated
};

// Why a list whose signature holds still cannot be acted on.
enum class ListDefect {
  None,
  BadSize,        // a size token that is not a decimal number of bytes
  SizesTooLarge,  // sizes adding up past kMaxListTotalBytes
  PartNameTaken,  // one entry names the ".part" file another downloads through
  PathRepeated,   // two entries name one file: which of them to install is anyone's guess
};

// More than any disk holds: a list that needs more is broken, and sums kept
// below it can never wrap.
inline constexpr uint64_t kMaxListTotalBytes = 1ull << 50;

struct FileList {
  int32_t version = -1;   // first numeric comment; -1 without one
  bool hasPacks = true;   // false after a "# без паков" comment
  bool sizesKnown = false;
  uint64_t totalSize = 0; // 0 unless sizesKnown
  std::vector<FileEntry> entries;  // document order, duplicates kept
  ListDefect defect = ListDefect::None;
  std::string defectPath;   // the entry the defect was found at
  std::string defectOwner;  // PartNameTaken: the entry whose ".part" file defectPath is;
                            // PathRepeated: the first entry of the file defectPath names again
};

inline constexpr std::string_view kSignatureMarker = "-----BEGIN ELEMENT SIGNATURE-----";

// The space- or tab-separated tokens of one list line.
std::vector<std::string_view> ListLineTokens(std::string_view line);

// Checks body against the built-in key. On success signedText holds the
// list text with every CR removed; on any failure it is empty.
bool VerifyListSignature(std::string_view body, std::string& signedText);

// The same check against a given "PUBLIC KEY" PEM text.
bool VerifyListSignature(std::string_view body, std::string_view publicKeyPem, std::string& signedText);

// Reads a verified list text. Blank lines, comments that mean nothing,
// data lines with fewer than two tokens, path tokens that do not decode,
// and paths that could reach outside the client folder (an empty, "." or
// ".." segment, a leading separator, a drive letter or any colon, a control
// character) are skipped. A list no one may act on says why in defect
// (then sizesKnown is false and totalSize 0).
FileList ParseFileList(std::string_view signedText);

// Two list paths that would name one file on the disk where the game
// runs: either separator, letters of either case, and trailing dots and
// blanks of a name (which Windows drops) count alike.
std::u16string ListPathKey(std::string_view path);

// The first path (in list order) that names the ".part" file another path
// downloads through, as indices into paths; found false when there is none.
struct PartClash {
  bool found = false;
  size_t owner = 0;  // the file being downloaded
  size_t part = 0;   // the listed file its ".part" file would overwrite
};
PartClash FindPartClash(const std::vector<std::string_view>& paths);

// The first path (in list order) that names the same file as one before
// it (by ListPathKey), as indices into paths; found false when there is none.
struct PathRepeat {
  bool found = false;
  size_t first = 0;
  size_t again = 0;
};
PathRepeat FindRepeatedPath(const std::vector<std::string_view>& paths);

// Whether a list path stays inside the folder it is joined to.
bool IsContainedListPath(std::string_view path);

// The native path of a list entry below folder: its '\' separators become
// the platform's own only here, when the disk is touched.
std::string ClientFilePath(const std::string& folder, std::string_view listPath);

// ASCII case-insensitive equality of two checksum texts.
bool SameChecksum(std::string_view a, std::string_view b);

}  // namespace tarn
