#include "tools/common/site.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "bridge/base64.h"
#include "client/file_list.h"
#include "tools/common/file_list.h"

namespace tarn::tools {
namespace fs = std::filesystem;

fs::path SiteClientDir(const fs::path& site) { return site / "client"; }
fs::path SiteUpdateDir(const fs::path& site) { return site / "TRN"; }
fs::path SiteListPath(const fs::path& site) { return site / "TRN" / "element" / "files.md5"; }
fs::path SiteVersionPath(const fs::path& site) { return site / "TRN" / "element" / "version"; }
fs::path SiteAccountsPath(const fs::path& site) { return site / "accounts.json"; }
fs::path SiteNewsPath(const fs::path& site) { return site / "news.json"; }

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

bool PublishSite(const fs::path& site, std::string_view privatePem, int build, bool noPacks, size_t& fileCount,
                 std::string& error) {
  std::vector<ListFile> files;
  if (!CollectClientFiles(SiteClientDir(site), files, error)) return false;
  std::string document;
  if (!SignList(ListText(build, noPacks, files), privatePem, document, error)) return false;
  // The list goes first: a launcher that sees the new build number must
  // find the list that belongs to it.
  if (!WriteFileAtomic(SiteListPath(site), document, error)) return false;
  if (!WriteFileAtomic(SiteVersionPath(site), std::to_string(build) + "\n", error)) return false;
  fileCount = files.size();
  return true;
}

std::string StaticFileName(std::string_view listPath) {
  std::string backslashed(listPath);
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  return EncodeBase64Url(backslashed);
}

namespace {

// The longest file name the usual Linux file systems take.
constexpr size_t kMaxNameBytes = 255;

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
  const fs::path temp = target.parent_path() / (".tmp-" + std::to_string(::getpid()));
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

}  // namespace

bool WriteStaticSite(const fs::path& site, const fs::path& out, bool news, size_t& fileCount, std::string& error) {
  std::string list;
  std::string version;
  if (!ReadWholeFile(SiteListPath(site), list) || !ReadWholeFile(SiteVersionPath(site), version)) {
    error = "no published list in " + site.string() + " (run tarn-publish site first)";
    return false;
  }
  std::vector<ListFile> files;
  if (!CollectClientFiles(SiteClientDir(site), files, error)) return false;
  const fs::path folder = out / "files";
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    error = "cannot make " + folder.string() + ": " + ec.message();
    return false;
  }
  std::set<std::string> names;
  for (const ListFile& f : files) {
    std::string name = StaticFileName(f.path);
    if (name.size() > kMaxNameBytes) {
      error = "the path " + f.path + " is too long for a static file name (" + std::to_string(name.size()) +
              " bytes, at most " + std::to_string(kMaxNameBytes) + ")";
      return false;
    }
    if (!PlaceFile(SiteClientDir(site) / fs::path(f.path), folder / name, error)) return false;
    names.insert(std::move(name));
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
  if (!WriteFileAtomic(SiteListPath(out), list, error)) return false;
  if (!WriteFileAtomic(SiteVersionPath(out), version, error)) return false;
  fileCount = files.size();
  return true;
}

std::vector<std::string> CheckStaticRoot(const ListCheck& list, const fs::path& root) {
  std::vector<std::string> differences;
  const fs::path folder = root / "files";
  std::set<std::string> names;
  for (const ListFile& entry : list.entries) {
    std::string name = StaticFileName(entry.path);
    if (std::string d = FileDifference(list, entry, folder / name); !d.empty()) differences.push_back(std::move(d));
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
