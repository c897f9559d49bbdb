#include "tools/common/site.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "bridge/base64.h"
#include "client/block_index.h"
#include "client/epoch.h"
#include "client/file_list.h"
#include "download/request_path.h"
#include "platform/crypto.h"
#include "tools/common/file_list.h"

namespace tarn::tools {
namespace fs = std::filesystem;

fs::path SiteClientDir(const fs::path& site) { return site / "client"; }
fs::path SiteUpdateDir(const fs::path& site) { return site / "TRN"; }
fs::path SiteListPath(const fs::path& site) { return site / "TRN" / "element" / "files.md5"; }
fs::path SiteVersionPath(const fs::path& site) { return site / "TRN" / "element" / "version"; }
fs::path SiteEpochsPath(const fs::path& site) { return site / "TRN" / "element" / "epochs"; }
fs::path SiteAccountsPath(const fs::path& site) { return site / "accounts.json"; }
fs::path SiteNewsPath(const fs::path& site) { return site / "news.json"; }
fs::path SiteObjectsDir(const fs::path& site) { return site / "objects"; }

bool WriteFileAtomic(const fs::path& path, std::string_view bytes, std::string& error) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  const fs::path temp = path.string() + ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      error = "cannot write " + temp.string();
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, path, ec);
  if (ec) {
    error = "cannot replace " + path.string() + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

bool ReadWholeFile(const fs::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  bytes = s.str();
  return !in.bad();
}

int PublishedBuild(const fs::path& site) {
  std::string document;
  if (!ReadWholeFile(SiteListPath(site), document)) return -1;
  return ParseFileList(std::string_view(document).substr(0, document.find(kSignatureMarker))).version;
}

bool PublishEpochs(const fs::path& site, std::string_view privatePem, std::string_view tableText, int build,
                   std::string& notes, std::string& error) {
  // The launcher reads the signed text, which has no CR bytes.
  std::string text(tableText);
  std::erase(text, '\r');
  const EpochTable table = ParseEpochTable(text);
  if (!table.skippedLines.empty()) {
    error = "launchers would skip these lines of the epoch table:";
    for (size_t line : table.skippedLines) error += " " + std::to_string(line);
    error += " (a line is: build version day days-in-cycle name; digits only, the day not past the cycle, the "
             "version at most " + std::to_string(kMaxEpochVersionBytes) + " bytes, the name at most " +
             std::to_string(kMaxEpochNameBytes) + ", no build twice)";
    return false;
  }
  notes.clear();
  if (std::none_of(table.rows.begin(), table.rows.end(), [build](const EpochRow& r) { return r.build == build; }))
    notes = "the epoch table names no build " + std::to_string(build) + "; launchers show it as \"сборка " +
            std::to_string(build) + "\"";
  std::string document;
  if (!SignList(text, privatePem, document, error)) return false;
  if (document.size() > kEpochTableCapBytes) {
    error = "the signed epoch table is " + std::to_string(document.size()) + " bytes; launchers read at most " +
            std::to_string(kEpochTableCapBytes);
    return false;
  }
  return WriteFileAtomic(SiteEpochsPath(site), document, error);
}

namespace {

// The longest file name the usual Linux file systems take.
constexpr size_t kMaxNameBytes = 255;
constexpr char kRetiredRecord[] = "retired";

fs::path TempBeside(const fs::path& target) { return target.parent_path() / (".tmp-" + std::to_string(::getpid())); }

// The first line of text without its line end and blanks around it,
// bounded for a message.
std::string TrimmedLine(const std::string& text) {
  std::string line = text.substr(0, std::min<size_t>(text.find_first_of("\r\n"), 40));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.erase(line.begin());
  return line;
}

bool ParseNumber(const std::string& text, int& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Puts source at target through a temporary name, so a server never sends
// half a file: a hard link when both sit on one file system, else a copy.
bool PlaceFile(const fs::path& source, const fs::path& target, std::string& error) {
  std::error_code ec;
  const fs::path temp = TempBeside(target);
  fs::remove(temp, ec);
  fs::create_hard_link(source, temp, ec);
  if (ec) fs::copy_file(source, temp, ec);
  if (!ec) fs::rename(temp, target, ec);
  if (ec) {
    error = "cannot place " + source.string() + " as " + target.string() + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

// Makes objects/<md5> a copy of source unless it is there already. A copy,
// never a link: an operator who copies a new client over the old one writes
// into the very file a link would share. The copy itself is hashed, so an
// object always holds the bytes its name says, even when source changed
// after the list was made.
bool StoreObject(const fs::path& source, const fs::path& objects, const std::string& md5, std::string& error) {
  std::error_code ec;
  const fs::path target = objects / md5;
  if (fs::is_regular_file(fs::symlink_status(target, ec))) return true;
  fs::create_directories(objects, ec);
  const fs::path temp = TempBeside(target);
  fs::remove(temp, ec);
  fs::copy_file(source, temp, ec);
  std::string copied;
  if (ec || !FileMd5Hex(temp.string(), copied)) {
    error = "cannot copy " + source.string() + " to " + objects.string() + ": " + ec.message();
  } else if (copied != md5) {
    error = source.string() + " changed while it was published (MD5 " + copied + ", listed " + md5 +
            "); publish again once the client is in place";
  } else {
    fs::rename(temp, target, ec);
    if (!ec) return true;
    error = "cannot place " + target.string() + ": " + ec.message();
  }
  fs::remove(temp, ec);
  return false;
}

// Writes objects/<md5>.blocks, the block index a patching launcher reads,
// for an object large enough to have one, unless it is there already: an
// object never changes, nor does its index. Built from the object itself,
// whose bytes were checked against its name.
bool StoreBlockIndex(const fs::path& objects, const std::string& md5, uint64_t size, std::string& error) {
  if (size < kBlockIndexMinBytes) return true;
  std::error_code ec;
  const fs::path target = objects / (md5 + kBlockIndexSuffix);
  if (fs::is_regular_file(fs::symlink_status(target, ec))) return true;
  BlockIndex index;
  if (!BuildBlockIndex((objects / md5).string(), size, md5, index)) {
    error = "cannot index " + (objects / md5).string();
    return false;
  }
  return WriteFileAtomic(target, WriteBlockIndex(index), error);
}

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Objects that the list no longer names stay for keepDays, counted from
// the first publish that did not name them (objects/retired, "md5 seconds"
// lines), then go. Anything else in the folder is left alone.
bool RetireObjects(const fs::path& objects, const std::set<std::string>& listed, int keepDays, std::string& error) {
  std::map<std::string, int64_t> since;
  std::string record;
  if (ReadWholeFile(objects / kRetiredRecord, record)) {
    std::istringstream lines(record);
    std::string md5;
    std::string seconds;
    while (lines >> md5 >> seconds) {
      int64_t at = 0;
      auto [p, ec] = std::from_chars(seconds.data(), seconds.data() + seconds.size(), at);
      if (IsMd5Hex(md5) && ec == std::errc() && p == seconds.data() + seconds.size()) since[md5] = at;
    }
  }
  const int64_t now = NowSeconds();
  const int64_t keep = static_cast<int64_t>(keepDays) * 86400;
  std::string kept;
  std::error_code ec;
  fs::create_directories(objects, ec);  // a client without files stores none
  for (const fs::directory_entry& entry : fs::directory_iterator(objects, ec)) {
    const std::string name = entry.path().filename().string();
    if (!IsMd5Hex(name) || listed.count(name) > 0) continue;
    const auto found = since.find(name);
    const int64_t retired = found == since.end() ? now : found->second;
    if (now - retired >= keep) {
      std::error_code removed;
      fs::remove(objects / (name + kBlockIndexSuffix), removed);
      if (fs::remove(entry.path(), removed)) continue;
    }
    kept += name + " " + std::to_string(retired) + "\n";
  }
  if (ec) {
    error = "cannot read " + objects.string() + ": " + ec.message();
    return false;
  }
  return WriteFileAtomic(objects / kRetiredRecord, kept, error);
}

}  // namespace

bool PublishSite(const fs::path& site, std::string_view privatePem, int build, bool noPacks, int keepDays,
                 size_t& fileCount, std::string& error) {
  std::vector<ListFile> files;
  if (!CollectClientFiles(SiteClientDir(site), files, error)) return false;
  std::string document;
  if (!SignList(ListText(build, noPacks, files), privatePem, document, error)) return false;
  // The new build's bytes are in place under their own names before any
  // launcher can see the list that names them; the old build's stay.
  std::set<std::string> listed;
  for (const ListFile& f : files) {
    if (!StoreObject(SiteClientDir(site) / fs::path(f.path), SiteObjectsDir(site), f.md5, error)) return false;
    if (!StoreBlockIndex(SiteObjectsDir(site), f.md5, f.size, error)) return false;
    listed.insert(f.md5);
  }
  // The list goes first: a launcher that sees the new build number must
  // find the list that belongs to it.
  if (!WriteFileAtomic(SiteListPath(site), document, error)) return false;
  if (!WriteFileAtomic(SiteVersionPath(site), std::to_string(build) + "\n", error)) return false;
  if (!RetireObjects(SiteObjectsDir(site), listed, keepDays, error)) return false;
  fileCount = files.size();
  return true;
}

std::string StaticFileName(std::string_view listPath) {
  std::string backslashed(listPath);
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  return EncodeBase64Url(backslashed);
}


namespace {

// The launcher's release files, then its record (TRN/launcher/), as the
// site has them: files first, so a launcher that reads the record finds
// them. Only plain files are copied; a site without a record has none.
bool CopyLauncherRelease(const fs::path& site, const fs::path& out, std::string& error) {
  const fs::path from = SiteUpdateDir(site) / "launcher";
  const fs::path to = SiteUpdateDir(out) / "launcher";
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(from, ec))) return true;
  fs::create_directories(to, ec);
  for (const fs::directory_entry& e : fs::directory_iterator(from, ec)) {
    const std::string name = e.path().filename().string();
    if (name == "release" || name.starts_with(".") || !fs::is_regular_file(e.symlink_status(ec))) continue;
    fs::copy_file(e.path(), to / name, fs::copy_options::update_existing, ec);
    if (ec) {
      error = "cannot copy " + e.path().string() + ": " + ec.message();
      return false;
    }
  }
  std::string record;
  if (!ReadWholeFile(from / "release", record)) return !fs::exists(from / "release", ec);
  return WriteFileAtomic(to / "release", record, error);
}

}  // namespace

bool WriteStaticSite(const fs::path& site, const fs::path& out, bool news, int keepDays, size_t& fileCount,
                     std::string& error) {
  std::string list;
  std::string version;
  if (!ReadWholeFile(SiteListPath(site), list) || !ReadWholeFile(SiteVersionPath(site), version)) {
    error = "no published list in " + site.string() + " (run tarn-publish site first)";
    return false;
  }
  // What the published list names, not what client/ holds now: the
  // operator may be copying the next build in already.
  const FileList published = ParseFileList(std::string_view(list).substr(0, list.find(kSignatureMarker)));
  const fs::path folder = out / "files";
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    error = "cannot make " + folder.string() + ": " + ec.message();
    return false;
  }
  std::set<std::string> names;
  std::set<std::string> listed;
  for (const FileEntry& f : published.entries) {
    std::string md5 = f.md5;
    std::transform(md5.begin(), md5.end(), md5.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    std::string path = f.path;
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string name = StaticFileName(path);
    if (name.size() > kMaxNameBytes) {
      error = "the path " + path + " is too long for a static file name (" + std::to_string(name.size()) +
              " bytes, at most " + std::to_string(kMaxNameBytes) + ")";
      return false;
    }
    if (!IsMd5Hex(md5)) {
      error = "the published list's checksum of " + path + " is not an MD5";
      return false;
    }
    // A site published before it kept objects has its files only in client/.
    fs::path source = SiteObjectsDir(site) / md5;
    if (!fs::is_regular_file(fs::symlink_status(source, ec))) source = SiteClientDir(site) / fs::path(path);
    if (!StoreObject(source, SiteObjectsDir(out), md5, error)) return false;
    if (!StoreBlockIndex(SiteObjectsDir(out), md5, f.size, error)) return false;
    if (!PlaceFile(SiteObjectsDir(out) / md5, folder / name, error)) return false;
    names.insert(std::move(name));
    listed.insert(std::move(md5));
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
    if (names.count(entry.path().filename().string()) == 0) fs::remove(entry.path(), ec);
  }
  // A news.json left from an earlier run would be served in place of the
  // service's news for good, every later edit hidden behind it.
  if (!news && fs::is_regular_file(out / "news.json", ec) && !fs::remove(out / "news.json", ec)) {
    error = "cannot remove " + (out / "news.json").string() + ": " + ec.message();
    return false;
  }
  if (news) {
    std::string text = R"({"news":[]})";
    if (fs::exists(SiteNewsPath(site)) && !ReadWholeFile(SiteNewsPath(site), text)) {
      error = "cannot read " + SiteNewsPath(site).string();
      return false;
    }
    if (!WriteFileAtomic(out / "news.json", text, error)) return false;
  }
  // The table goes before the list, so the new build finds its name.
  if (fs::exists(SiteEpochsPath(site))) {
    std::string epochs;
    if (!ReadWholeFile(SiteEpochsPath(site), epochs)) {
      error = "cannot read " + SiteEpochsPath(site).string();
      return false;
    }
    if (!WriteFileAtomic(SiteEpochsPath(out), epochs, error)) return false;
  } else {
    fs::remove(SiteEpochsPath(out), ec);
  }
  if (!CopyLauncherRelease(site, out, error)) return false;
  if (!WriteFileAtomic(SiteListPath(out), list, error)) return false;
  if (!WriteFileAtomic(SiteVersionPath(out), version, error)) return false;
  if (!RetireObjects(SiteObjectsDir(out), listed, keepDays, error)) return false;
  fileCount = published.entries.size();
  return true;
}

std::vector<std::string> CheckStaticRoot(const ListCheck& list, const fs::path& root) {
  std::vector<std::string> differences;
  const fs::path folder = root / "files";
  std::set<std::string> names;
  for (const ListFile& entry : list.entries) {
    std::string name = StaticFileName(entry.path);
    if (std::string d = FileDifference(list, entry, folder / name); !d.empty()) differences.push_back(std::move(d));
    // Launchers that name the MD5 are served the object, so it must hold
    // the same bytes; a hard link of the file just read needs no second look.
    const fs::path object = SiteObjectsDir(root) / entry.md5;
    std::error_code same;
    if (IsMd5Hex(entry.md5) && !fs::equivalent(folder / name, object, same))
      if (std::string d = FileDifference(list, entry, object); !d.empty())
        differences.push_back("objects/" + entry.md5 + ": " + std::move(d));
    names.insert(std::move(name));
  }
  std::error_code ec;
  std::vector<std::string> unlisted;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (names.count(name) == 0) unlisted.push_back("not in the list: files/" + name);
  }
  std::sort(unlisted.begin(), unlisted.end());
  differences.insert(differences.end(), unlisted.begin(), unlisted.end());
  std::string version;
  if (!ReadWholeFile(SiteVersionPath(root), version)) {
    differences.push_back("missing: TRN/element/version");
  } else if (int build = -1; !ParseNumber(TrimmedLine(version), build) || build != list.build) {
    differences.push_back("TRN/element/version names another build than the list: " + TrimmedLine(version));
  }
  return differences;
}

std::vector<std::string> CheckBlockIndexes(const ListCheck& list, const fs::path& objects,
                                           const fs::path& clientDir) {
  std::vector<std::string> differences;
  for (const ListFile& entry : list.entries) {
    if (entry.size < kBlockIndexMinBytes || !IsMd5Hex(entry.md5)) continue;
    const std::string name = "objects/" + entry.md5 + kBlockIndexSuffix;
    std::string bytes;
    BlockIndex index;
    if (!ReadWholeFile(objects / (entry.md5 + kBlockIndexSuffix), bytes)) {
      differences.push_back("missing: " + name + " (" + entry.path + ")");
      continue;
    }
    if (!ParseBlockIndex(bytes, index) || index.fileSize != entry.size || index.md5 != entry.md5) {
      differences.push_back(name + " does not describe " + entry.path);
      continue;
    }
    if (bytes.size() * 100 > entry.size) differences.push_back(name + " is over 1 % of " + entry.path);
    if (clientDir.empty()) continue;
    BlockIndex fromClient;
    if (!BuildBlockIndex((clientDir / fs::path(entry.path)).string(), entry.size, entry.md5, fromClient) ||
        fromClient.blockSize != index.blockSize || fromClient.blocks != index.blocks)
      differences.push_back(name + " does not match the client's " + entry.path);
  }
  return differences;
}

Resolve ResolveInside(const fs::path& root, std::string_view relative, fs::path& file) {
  if (relative.empty() || relative.front() == '/' || relative.front() == '\\') return Resolve::Refused;
  if (relative.find('\0') != std::string_view::npos) return Resolve::Refused;
  fs::path joined = root;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = relative.size();
    const std::string_view part = relative.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return Resolve::Refused;
    joined /= fs::path(std::string(part));
    start = end + 1;
  }
  std::error_code ec;
  const fs::path realRoot = fs::canonical(root, ec);
  if (ec) return Resolve::NotFound;
  const fs::path real = fs::canonical(joined, ec);
  if (ec) return Resolve::NotFound;
  // A symbolic link inside the folder must not lead out of it.
  const auto rel = real.lexically_relative(realRoot);
  if (rel.empty() || *rel.begin() == "..") return Resolve::Refused;
  if (!fs::is_regular_file(real, ec)) return Resolve::NotFound;
  file = real;
  return Resolve::Ok;
}

}  // namespace tarn::tools
