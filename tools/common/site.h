#pragma once
// The layout of a site folder, the one thing the publisher and the service
// agree on:
//   client/                  the game client, served file by file
//   objects/<md5>            every listed file's bytes under their MD5,
//                            never rewritten; objects/retired notes when
//                            each one left the list;
//                            objects/<md5>.blocks the block index of a
//                            large one, for launchers that patch
//   TRN/element/files.md5    the signed file list
//   TRN/element/version      the build number
//   TRN/element/epochs       the signed epoch table (optional)
//   accounts.json            accounts, passwords and characters
//   news.json                {"news":[...]}, served as it stands
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/file_list.h"

namespace tarn::tools {

std::filesystem::path SiteClientDir(const std::filesystem::path& site);
std::filesystem::path SiteUpdateDir(const std::filesystem::path& site);  // TRN/
std::filesystem::path SiteListPath(const std::filesystem::path& site);
std::filesystem::path SiteVersionPath(const std::filesystem::path& site);
std::filesystem::path SiteEpochsPath(const std::filesystem::path& site);
std::filesystem::path SiteAccountsPath(const std::filesystem::path& site);
std::filesystem::path SiteNewsPath(const std::filesystem::path& site);
std::filesystem::path SiteObjectsDir(const std::filesystem::path& site);

// What follows an object's name in the name of its block index.
inline constexpr char kBlockIndexSuffix[] = ".blocks";

// How long a file of an earlier build stays served after a publish dropped
// it from the list: an install or update that began before can still finish.
inline constexpr int kDefaultKeepDays = 7;

// Writes a whole file through a temporary file and a rename, so that a
// running service never serves half of it.
bool WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes, std::string& error);
bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes);

// The build number of the list the site publishes now (its first numeric
// comment); -1 without a list or a number in it.
int PublishedBuild(const std::filesystem::path& site);

// Copies every file of the site's client folder into its objects/, signs
// the folder into its list and writes its build number, then removes the
// objects that left the list keepDays or more days ago. Fails when a file
// changes while it is copied.
bool PublishSite(const std::filesystem::path& site, std::string_view privatePem, int build, bool noPacks,
                 int keepDays, size_t& fileCount, std::string& error);

// Signs an operator's epoch table (the text the launcher reads, see
// client/epoch.h) into the site's epoch document. Refused, with the lines
// named, when the launcher would skip any line of it. notes tells what the
// operator may want to know: no row for build (the launcher then shows
// "сборка N").
bool PublishEpochs(const std::filesystem::path& site, std::string_view privatePem, std::string_view tableText,
                   int build, std::string& notes, std::string& error);

// The name a client file has on a static web server: what the launcher
// puts in its file request ("/api/file?n=" + name), the list path with "\"
// separators in URL-safe Base64. listPath has "/" separators.
std::string StaticFileName(std::string_view listPath);

// Writes what is the same for every player as plain files below out, for
// any web server to serve: out/objects/<md5> for every file of the
// published list (copies, checked against the list), out/files/<StaticFileName>
// for launchers that name files only by path (hard links to the objects
// where the file system allows, copies otherwise; files no longer listed are
// removed), out/news.json when news is set, then the list and the version
// under out/TRN/element/, so a launcher that sees the new build finds its
// files in place (the epoch table, or none as the site has it, goes
// with them); last, objects that left the list keepDays or more days
// ago are removed. The site must have been published (PublishSite).
bool WriteStaticSite(const std::filesystem::path& site, const std::filesystem::path& out, bool news, int keepDays,
                     size_t& fileCount, std::string& error);

// What a static web root (WriteStaticSite's out) lacks or holds beyond
// the list it publishes: one line per listed file that is missing or not
// the listed one under files/, one per file there the list does not name,
// and one when TRN/element/version names another build than the list.
std::vector<std::string> CheckStaticRoot(const ListCheck& list, const std::filesystem::path& root);

// What the block indexes under objects lack against the list: one line per
// listed file large enough for one whose index is missing, does not
// describe it (size and MD5), or is over 1 % of it; and, with clientDir,
// one whose blocks are not those of the client's file.
std::vector<std::string> CheckBlockIndexes(const ListCheck& list, const std::filesystem::path& objects,
                                           const std::filesystem::path& clientDir);

enum class Resolve { Ok, Refused, NotFound };

// Turns a relative path from a request ("/" or "\" separators, UTF-8) into a
// file inside root. Refused for rooted paths, empty, "." or ".." parts, NUL
// bytes, and anything whose real location (symbolic links followed) is not
// below root; NotFound when no regular file is there.
Resolve ResolveInside(const std::filesystem::path& root, std::string_view relative, std::filesystem::path& file);

}  // namespace tarn::tools
