#include "tools/common/file_list.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <system_error>

#include "bridge/base64.h"
#include "client/file_list.h"
#include "client/list_fetch.h"
#include "download/request_path.h"
#include "platform/crypto.h"
#include "platform/unicode.h"
#include "tools/common/crypto.h"

namespace tarn::tools {
namespace fs = std::filesystem;
namespace {

// The launcher's own rule for a list path, applied to a path with "/"
// separators as the operator writes it.
bool LauncherReadsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return IsContainedListPath(path);
}

}  // namespace

// The launcher's own decoder decides: text it would leave unchanged.
bool IsValidUtf8(std::string_view text) { return SanitizeUtf8(text) == text; }

bool CollectClientFiles(const fs::path& clientDir, std::vector<ListFile>& files, std::string& error) {
  files.clear();
  std::error_code ec;
  if (!fs::is_directory(clientDir, ec)) {
    error = "not a folder: " + clientDir.string();
    return false;
  }
  fs::recursive_directory_iterator it(clientDir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const std::string rel = fs::relative(entry.path(), clientDir).generic_string();
    if (entry.is_symlink(ec)) {
      error = "symbolic link in the client folder (publish real files only): " + rel;
      return false;
    }
    if (entry.is_directory(ec)) continue;
    if (!entry.is_regular_file(ec)) {
      error = "not a regular file: " + rel;
      return false;
    }
    if (!IsValidUtf8(rel)) {
      error = "file name is not UTF-8: " + rel;
      return false;
    }
    if (!LauncherReadsPath(rel)) {
      error = "file name the launcher would skip (a colon, a control character or a name of dots and blanks only): " +
              rel;
      return false;
    }
    if (rel.find('\\') != std::string::npos) {
      error = "file name holds a backslash, which the launcher reads as a folder separator: " + rel;
      return false;
    }
    ListFile file;
    file.path = rel;
    file.size = entry.file_size(ec);
    if (ec || !tarn::FileMd5Hex(entry.path().string(), file.md5)) {
      error = "cannot read: " + rel;
      return false;
    }
    files.push_back(std::move(file));
  }
  if (ec) {
    error = "cannot list the client folder: " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end(), [](const ListFile& a, const ListFile& b) { return a.path < b.path; });
  std::vector<std::string_view> paths;
  for (const ListFile& f : files) paths.push_back(f.path);
  if (const PathRepeat repeat = FindRepeatedPath(paths); repeat.found) {
    error = "\"" + files[repeat.first].path + "\" and \"" + files[repeat.again].path +
            "\" are one file on Windows, where letter case does not count: rename one of them";
    return false;
  }
  if (const PartClash clash = FindPartClash(paths); clash.found) {
    error = "\"" + files[clash.part].path + "\" is the name the launcher downloads \"" + files[clash.owner].path +
            "\" through (on Windows letter case does not count): rename one of them";
    return false;
  }
  return true;
}

std::string ListText(int build, bool noPacks, const std::vector<ListFile>& files) {
  std::string text = "# " + std::to_string(build) + "\n";
  if (noPacks) text += "# " + std::string(kNoPacksComment) + "\n";
  for (const ListFile& f : files) {
    text += f.md5 + " " + std::to_string(f.size) + " " + EncodeBase64(f.path) + "\n";
  }
  return text;
}

bool SignList(std::string_view listText, std::string_view privatePem, std::string& document, std::string& error) {
  std::string signedBytes(listText);
  std::erase(signedBytes, '\r');
  // The marker must not occur inside the list, or the launcher would cut
  // the list there.
  if (signedBytes.find(kSignatureMarker) != std::string::npos) {
    error = "the list text contains the signature marker";
    return false;
  }
  if (!signedBytes.empty() && signedBytes.back() != '\n') signedBytes += '\n';
  std::string signature;
  if (!SignRsaMd5(privatePem, signedBytes, signature, error)) return false;
  const std::string b64 = EncodeBase64(signature);
  document = signedBytes;
  document += kSignatureMarker;
  document += '\n';
  for (size_t i = 0; i < b64.size(); i += 64) document += b64.substr(i, 64) + "\n";
  return true;
}

namespace {

// The signature block after the marker, checked against the signed bytes.
void CheckSignature(std::string_view document, size_t marker, const std::string& signedBytes,
                    std::string_view publicPem, ListCheck& check) {
  if (marker == std::string_view::npos) {
    check.problems.push_back("no signature block: the marker \"" + std::string(kSignatureMarker) + "\" is missing");
    return;
  }
  std::string signature;
  const std::string_view sigText = document.substr(marker + kSignatureMarker.size());
  if (!DecodeBase64(sigText, signature)) {
    check.problems.push_back("the signature after the marker is not valid Base64 (a second marker, or text after it?)");
  } else if (signature.empty()) {
    check.problems.push_back("the signature block is empty");
  } else {
    const int bits = PublicKeyBits(publicPem);
    std::string error;
    if (bits == 0) {
      check.problems.push_back("the public key is not a \"PUBLIC KEY\" PEM block of an RSA key");
    } else {
      if (bits != 2048) check.problems.push_back("the public key has " + std::to_string(bits) + " bits; the launcher expects RSA-2048");
      if (signature.size() * 8 != static_cast<size_t>(bits)) {
        check.problems.push_back("the signature is " + std::to_string(signature.size()) + " bytes; a key of " +
                                 std::to_string(bits) + " bits makes " + std::to_string(bits / 8));
      } else if (!VerifyRsaMd5(publicPem, signedBytes, signature, error)) {
        check.problems.push_back(error);
      } else {
        check.signatureOk = true;
      }
    }
  }
  if (marker > 0 && document[marker - 1] != '\n') check.notes.push_back("the marker does not start a line");
}

// What the data lines told so far, for the checks across lines.
struct DataLines {
  bool sizeSeen = false;
  bool sizeMissing = false;
  bool dataSeen = false;
  bool sizesTooLarge = false;
  std::vector<size_t> entryLines;      // the line of each entry
};

// A comment line (without its "#"): the packs flag or the build number.
void CheckComment(std::string_view rest, const std::string& where, ListCheck& check) {
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  if (rest.starts_with(kNoPacksComment)) {
    check.hasPacks = false;
  } else if (check.build < 0 && !rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
    int build = 0;
    auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), build);
    if (ec != std::errc()) check.problems.push_back(where + "the build number does not fit a 32-bit number");
    check.build = ec == std::errc() ? build : 0;
  }
}

// The checksum, size and path tokens of a data line into file. False when
// the launcher would skip the line.
bool ReadDataTokens(std::string_view line, const std::string& where, DataLines& lines, ListFile& file,
                    ListCheck& check) {
  const auto tokens = ListLineTokens(line);
  if (tokens.size() < 2) {
    check.problems.push_back(where + "a data line needs at least a checksum and a path; the launcher skips it");
    return false;
  }
  file.md5 = std::string(tokens[0]);
  std::string_view pathToken = tokens[1];
  if (tokens.size() >= 3) {
    lines.sizeSeen = true;
    pathToken = tokens[2];
    auto [p, ec] = std::from_chars(tokens[1].data(), tokens[1].data() + tokens[1].size(), file.size);
    if (ec != std::errc() || p != tokens[1].data() + tokens[1].size()) {
      check.problems.push_back(where + "the size \"" + std::string(tokens[1]) + "\" is not a decimal number; the launcher refuses the list");
    }
  } else {
    lines.sizeMissing = true;
  }
  if (!IsMd5Hex(file.md5)) check.problems.push_back(where + "the checksum is not 32 hexadecimal digits");
  if (!DecodeBase64(pathToken, file.path) || file.path.empty()) {
    check.problems.push_back(where + "the path is not valid Base64; the launcher skips this file");
    return false;
  }
  return true;
}

void CheckDataLine(std::string_view line, size_t lineNo, const std::string& where, DataLines& lines,
                   ListCheck& check) {
  lines.dataSeen = true;
  ListFile file;
  if (!ReadDataTokens(line, where, lines, file, check)) return;
  if (!IsValidUtf8(file.path)) check.problems.push_back(where + "the path is not UTF-8");
  if (!LauncherReadsPath(file.path)) {
    check.problems.push_back(where + "the path \"" + file.path +
                             "\" would leave the client folder or is no name a file can have; the launcher skips "
                             "this file");
    return;
  }
  std::replace(file.path.begin(), file.path.end(), '\\', '/');
  // Checked before adding, so the sum never wraps; the launcher refuses
  // a list that needs more than any disk holds.
  if (!lines.sizesTooLarge && (file.size > kMaxListTotalBytes || check.totalSize > kMaxListTotalBytes - file.size)) {
    lines.sizesTooLarge = true;
    check.problems.push_back(where + "the sizes add up to more than " + std::to_string(kMaxListTotalBytes) +
                             " bytes; the launcher refuses the list as broken");
  }
  if (!lines.sizesTooLarge) check.totalSize += file.size;
  lines.entryLines.push_back(lineNo);
  check.entries.push_back(std::move(file));
}

void CheckLines(const std::string& signedBytes, DataLines& lines, ListCheck& check) {
  size_t lineNo = 0;
  size_t start = 0;
  while (start < signedBytes.size()) {
    size_t end = signedBytes.find('\n', start);
    if (end == std::string::npos) end = signedBytes.size();
    std::string_view line(signedBytes.data() + start, end - start);
    start = end + 1;
    ++lineNo;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) continue;
    const std::string where = "line " + std::to_string(lineNo) + ": ";
    if (line.front() == '#') {
      CheckComment(line.substr(1), where, check);
    } else {
      CheckDataLine(line, lineNo, where, lines, check);
    }
  }
}

// The checks across the whole list, once every line is read.
void CheckWholeList(const DataLines& lines, ListCheck& check) {
  std::vector<std::string_view> paths;
  for (const ListFile& f : check.entries) paths.push_back(f.path);
  // The launcher names one file by the rules of Windows, where letter case
  // and either separator do not count.
  if (const PathRepeat repeat = FindRepeatedPath(paths); repeat.found) {
    const ListFile& again = check.entries[repeat.again];
    const ListFile& first = check.entries[repeat.first];
    check.problems.push_back("line " + std::to_string(lines.entryLines[repeat.again]) + ": \"" + again.path +
                             "\" is listed twice (first on line " + std::to_string(lines.entryLines[repeat.first]) +
                             (again.path == first.path ? "" : " as \"" + first.path + "\"") +
                             "): the launcher refuses the list");
  }
  if (const PartClash clash = FindPartClash(paths); clash.found) {
    check.problems.push_back("line " + std::to_string(lines.entryLines[clash.part]) + ": \"" +
                             check.entries[clash.part].path + "\" is the download file of \"" +
                             check.entries[clash.owner].path + "\" (line " + std::to_string(lines.entryLines[clash.owner]) +
                             "): one would overwrite the other, so the launcher refuses the list");
  }
  check.sizesKnown = lines.sizeSeen && !lines.sizeMissing && !lines.sizesTooLarge;
  if (!check.sizesKnown) check.totalSize = 0;
  if (lines.sizeMissing) check.notes.push_back("some lines carry no size: the launcher cannot show download totals");
  if (check.build < 0) check.notes.push_back("no build number comment: the installer will not know the build");
  if (!check.hasPacks) check.notes.push_back("marked \"" + std::string(kNoPacksComment) + "\": the launcher refuses to install from it");
  if (!lines.dataSeen) check.problems.push_back("the list names no files");
}

}  // namespace

ListCheck CheckList(std::string_view document, std::string_view publicPem) {
  ListCheck check;
  if (document.size() > MaxListBytes()) {
    check.problems.push_back("the list is " + std::to_string(document.size()) + " bytes; the launcher reads at most " +
                             std::to_string(MaxListBytes()) + " and refuses a longer one as too large");
  }
  const size_t marker = document.find(kSignatureMarker);
  std::string signedBytes(document.substr(0, marker == std::string_view::npos ? document.size() : marker));
  std::erase(signedBytes, '\r');
  CheckSignature(document, marker, signedBytes, publicPem, check);
  DataLines lines;
  CheckLines(signedBytes, lines, check);
  CheckWholeList(lines, check);
  // Whatever the line checks above missed, the launcher's own reader has
  // the last word on which entries a player gets.
  if (const size_t read = ParseFileList(signedBytes).entries.size(); read != check.entries.size()) {
    check.problems.push_back("the launcher reads " + std::to_string(read) + " of the " +
                             std::to_string(check.entries.size()) + " files the list names");
  }
  check.ok = check.signatureOk && check.problems.empty();
  return check;
}

std::string FileDifference(const ListCheck& list, const ListFile& entry, const fs::path& file) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return "missing: " + entry.path;
  const uint64_t size = fs::file_size(file, ec);
  if (list.sizesKnown && size != entry.size)
    return "size differs: " + entry.path + " (list " + std::to_string(entry.size) + ", folder " +
           std::to_string(size) + ")";
  std::string md5;
  if (!tarn::FileMd5Hex(file.string(), md5)) return "unreadable: " + entry.path;
  if (!std::equal(md5.begin(), md5.end(), entry.md5.begin(), entry.md5.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
      }))
    return "content differs: " + entry.path;
  return {};
}

std::vector<std::string> CompareWithClient(const ListCheck& list, const fs::path& clientDir) {
  std::vector<std::string> differences;
  std::set<std::string> listed;
  for (const ListFile& entry : list.entries) {
    listed.insert(entry.path);
    if (std::string d = FileDifference(list, entry, clientDir / fs::path(entry.path)); !d.empty())
      differences.push_back(std::move(d));
  }
  std::error_code ec;
  std::vector<std::string> unlisted;
  for (auto it = fs::recursive_directory_iterator(clientDir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string path = it->path().lexically_relative(clientDir).generic_string();
    if (listed.count(path) == 0) unlisted.push_back("not in the list: " + path);
  }
  std::sort(unlisted.begin(), unlisted.end());
  differences.insert(differences.end(), unlisted.begin(), unlisted.end());
  return differences;
}

}  // namespace tarn::tools
