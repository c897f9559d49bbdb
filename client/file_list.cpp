#include "client/file_list.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "bridge/base64.h"
#include "bridge/text.h"
#include "platform/crypto.h"
#include "platform/paths.h"

namespace tarn {
namespace {

// The UTF-8 bytes of "без паков": exactly 17, compared byte for byte.
constexpr std::string_view kNoPacks = "\xD0\xB1\xD0\xB5\xD0\xB7 \xD0\xBF\xD0\xB0\xD0\xBA\xD0\xBE\xD0\xB2";
static_assert(kNoPacks.size() == 17);

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading decimal digits; overflow holds at the top of the range rather
// than wrapping, so a corrupt figure never turns into a small one.
uint64_t LeadingUnsigned(std::string_view text) {
  uint64_t value = 0;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (char c : text) {
    if (!IsDigit(c)) break;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

// A size token: decimal digits only, and a value no list may exceed. False
// for anything else, which makes the whole list unusable rather than read
// as some other number.
bool ReadSize(std::string_view token, uint64_t& size) {
  size = 0;
  if (token.empty()) return false;
  for (char c : token) {
    if (!IsDigit(c)) return false;
    size = size * 10 + static_cast<uint64_t>(c - '0');
    if (size > kMaxListTotalBytes) return false;
  }
  return true;
}

// Letters that differ only in case name one file on Windows: ASCII,
// Latin-1, Greek and Cyrillic are folded, which covers every name a client
// ships with.
char16_t FoldCase(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) ||
      (c >= 0x0391 && c <= 0x03AB && c != 0x03A2) || (c >= 0x0410 && c <= 0x042F))
    return static_cast<char16_t>(c + 0x20);
  if (c >= 0x0400 && c <= 0x040F) return static_cast<char16_t>(c + 0x50);
  return c;
}

int32_t LeadingBuild(std::string_view text) {
  const uint64_t value = LeadingUnsigned(text);
  return value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                             : static_cast<int32_t>(value);
}

void ReadComment(std::string_view text, FileList& list) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (text.empty()) return;
  if (text.substr(0, kNoPacks.size()) == kNoPacks) {
    list.hasPacks = false;
  } else if (list.version < 0 && IsDigit(text.front())) {
    list.version = LeadingBuild(text);
  }
}

}  // namespace

std::vector<std::string_view> ListLineTokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}


bool VerifyListSignature(std::string_view body, std::string_view publicKeyPem, std::string& signedText) {
  signedText.clear();
  if (body.size() < kSignatureMarker.size()) return false;
  const size_t marker = body.find(kSignatureMarker);
  if (marker == std::string_view::npos) return false;

  std::string text;
  text.reserve(marker);
  for (char c : body.substr(0, marker))
    if (c != '\r') text += c;

  std::string signature;
  if (!DecodeBase64(body.substr(marker + kSignatureMarker.size()), signature) || signature.empty()) return false;
  if (!VerifyRsaMd5Signature(publicKeyPem, text, signature)) return false;
  signedText = std::move(text);
  return true;
}

bool IsContainedListPath(std::string_view path) {
  if (path.empty()) return false;
  // A colon is a drive letter or an alternate data stream on Windows. A
  // control character is never part of a Windows file name, a NUL would
  // silently name a shorter path, and a line break would split the line of
  // the install journal that records the file.
  for (char c : path)
    if (c == ':' || static_cast<unsigned char>(c) < 0x20) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('\\', start);
    const std::string_view segment = path.substr(start, end == std::string_view::npos ? path.npos : end - start);
    // Windows drops trailing dots and blanks from a name, so ". ." or
    // "..." could come to mean the folder above; a name of only dots and
    // blanks is never a real client file.
    if (segment.find_first_not_of(". ") == std::string_view::npos) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

namespace {

// Which of the list's lines gave a size: a list is sized only when all of
// its entries are.
struct SizeColumn {
  bool seen = false;
  bool missing = false;
};

// Notes the list's first defect; a later one does not replace it.
void NoteDefect(FileList& list, ListDefect defect, const std::string& path) {
  if (list.defect != ListDefect::None) return;
  list.defect = defect;
  list.defectPath = path;
}

// One entry line ("md5 [size] base64-path"); lines that name no file inside
// the client are passed over.
void ReadEntryLine(std::string_view line, FileList& list, SizeColumn& sizes) {
  const std::vector<std::string_view> tokens = ListLineTokens(line);
  if (tokens.size() < 2) return;
  FileEntry entry;
  entry.md5 = std::string(tokens[0]);
  std::string_view pathToken;
  bool badSize = false;
  if (tokens.size() == 2) {
    sizes.missing = true;
    pathToken = tokens[1];
  } else {
    sizes.seen = true;
    badSize = !ReadSize(tokens[1], entry.size);
    pathToken = tokens[2];
  }
  std::string decoded;
  const bool decodes = DecodeBase64(pathToken, decoded) && !decoded.empty();
  entry.path = SanitizeUtf8(decoded);
  std::replace(entry.path.begin(), entry.path.end(), '/', '\\');
  // A size that does not read is a broken list even on a line that would
  // be skipped: a figure has no meaning that could be guessed.
  if (badSize) NoteDefect(list, ListDefect::BadSize, decodes ? entry.path : std::string(pathToken));
  if (!decodes || !IsContainedListPath(entry.path)) return;
  // Every size is at most the limit, so the sum checked at each step never
  // wraps.
  list.totalSize += entry.size;
  if (list.totalSize > kMaxListTotalBytes) NoteDefect(list, ListDefect::SizesTooLarge, entry.path);
  list.entries.push_back(std::move(entry));
}

// A file named twice, or a path that another entry's ".part" file would
// take: either way two entries would write one file.
void CheckNames(FileList& list) {
  if (list.defect != ListDefect::None) return;
  std::vector<std::string_view> paths;
  paths.reserve(list.entries.size());
  for (const FileEntry& e : list.entries) paths.push_back(e.path);
  if (const PathRepeat repeat = FindRepeatedPath(paths); repeat.found) {
    list.defect = ListDefect::PathRepeated;
    list.defectPath = list.entries[repeat.again].path;
    list.defectOwner = list.entries[repeat.first].path;
  } else if (const PartClash clash = FindPartClash(paths); clash.found) {
    list.defect = ListDefect::PartNameTaken;
    list.defectPath = list.entries[clash.part].path;
    list.defectOwner = list.entries[clash.owner].path;
  }
}

}  // namespace

FileList ParseFileList(std::string_view signedText) {
  FileList list;
  SizeColumn sizes;
  size_t start = 0;
  while (start < signedText.size()) {
    size_t end = signedText.find('\n', start);
    if (end == std::string_view::npos) end = signedText.size();
    std::string_view line = signedText.substr(start, end - start);
    start = end + 1;

    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.front() == '#') {
      ReadComment(line.substr(1), list);
    } else {
      ReadEntryLine(line, list, sizes);
    }
  }
  CheckNames(list);
  list.sizesKnown = sizes.seen && !sizes.missing && list.defect == ListDefect::None;
  if (!list.sizesKnown) list.totalSize = 0;
  return list;
}

std::u16string ListPathKey(std::string_view path) {
  std::u16string key = Utf8ToWide(path);
  std::u16string out;
  out.reserve(key.size());
  size_t nameStart = 0;
  const auto endName = [&] {
    // Windows drops trailing dots and blanks from every name.
    while (out.size() > nameStart && (out.back() == u'.' || out.back() == u' ')) out.pop_back();
  };
  for (char16_t c : key) {
    if (c == u'/' || c == u'\\') {
      endName();
      out += u'\\';
      nameStart = out.size();
    } else {
      out += FoldCase(c);
    }
  }
  endName();
  return out;
}

PathRepeat FindRepeatedPath(const std::vector<std::string_view>& paths) {
  std::unordered_map<std::u16string, size_t> first;
  first.reserve(paths.size());
  for (size_t i = 0; i < paths.size(); ++i)
    if (const auto [taken, fresh] = first.emplace(ListPathKey(paths[i]), i); !fresh) return {true, taken->second, i};
  return {};
}

PartClash FindPartClash(const std::vector<std::string_view>& paths) {
  std::unordered_map<std::u16string, size_t> first;
  first.reserve(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) first.emplace(ListPathKey(paths[i]), i);
  for (size_t i = 0; i < paths.size(); ++i) {
    // The ".part" name is built on the path as listed, before the disk
    // drops anything from it, so the key is taken of the whole name.
    const auto taken = first.find(ListPathKey(std::string(paths[i]) + ".part"));
    if (taken != first.end()) return {true, i, taken->second};
  }
  return {};
}

std::string ClientFilePath(const std::string& folder, std::string_view listPath) {
  std::string native(listPath);
  std::replace(native.begin(), native.end(), '\\', NativeSeparator());
  return JoinPath(folder, native);
}

bool SameChecksum(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace tarn
