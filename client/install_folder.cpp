#include "client/install_folder.h"

#include <algorithm>

#include "bridge/host_slots.h"
#include "bridge/service_endpoint.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace tarn {
namespace {

constexpr std::string_view kGameFolder = "ТАРН";

bool IsSeparator(char c) { return c == '/' || c == NativeSeparator(); }

// Characters Windows allows in no file or folder name (control characters
// are refused on their own).
constexpr std::string_view kForbiddenInNames = "\"<>|?*";

std::string DataFolderPath(LauncherContext& ctx) {
  const std::string folder = DataFolder(ctx);
  return folder.empty() ? JoinPath(StateDir(), "data") : folder;
}

std::string ParentOf(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i)
    if (IsSeparator(path[i - 1])) return path.substr(0, i - 1);
  return {};
}

}  // namespace

bool IsSameOrInside(std::string_view inner, std::string_view outer) {
  if (outer.empty() || inner.size() < outer.size() || inner.substr(0, outer.size()) != outer) return false;
  return inner.size() == outer.size() || IsSeparator(outer.back()) || IsSeparator(inner[outer.size()]);
}

uint64_t FreeSpaceOf(const std::string& path) { return DiskFreeBytes(path).value_or(0); }

std::string BestPlace(const std::vector<DiskPlace>& places) {
  std::string best;
  uint64_t bestFree = 0;
  for (const DiskPlace& p : places) {
    if (p.freeBytes > bestFree) {
      best = p.path;
      bestFree = p.freeBytes;
    }
  }
  return best;
}

std::string BestFixedDrive() { return BestPlace(InstallPlaces()); }

std::string SuggestedFolder(const std::string& place) {
  if (place.empty()) return {};
  // A drive root such as "D:\" already ends in its separator.
  const std::string base = IsSeparator(place.back()) ? place : place + NativeSeparator();
  return base + "Игры" + NativeSeparator() + std::string(kGameFolder);
}

std::string DefaultInstallFolder() { return SuggestedFolder(BestFixedDrive()); }

bool PickInstallFolder(LauncherContext& ctx, std::string& folder) {
  const std::optional<std::string> chosen =
      PickFolder(ctx, {.title = "Куда установить игру", .acceptLabel = "Выбрать", .startFolder = BestFixedDrive()});
  if (!chosen || chosen->empty()) return false;
  folder = *chosen;
  return true;
}

std::string TrimTrailingSeparators(std::string text) {
  while (!text.empty() && IsSeparator(text.back())) text.pop_back();
  return text;
}

std::string InstallFolderFor(const std::string& trimmed) {
  size_t start = 0;
  for (size_t i = 0; i < trimmed.size(); ++i)
    if (IsSeparator(trimmed[i])) start = i + 1;
  if (std::string_view(trimmed).substr(start) == kGameFolder) return trimmed;
  return trimmed + NativeSeparator() + std::string(kGameFolder);
}

FolderProblem CheckChosenFolder(const std::string& trimmed) {
  if (trimmed.size() >= 2 && IsSeparator(trimmed[0]) && IsSeparator(trimmed[1])) return FolderProblem::Network;
  for (unsigned char c : trimmed)
    if (c < 0x20 || c == 0x7F) return FolderProblem::ControlCharacter;
  if (trimmed.find_first_of(kForbiddenInNames) != std::string::npos) return FolderProblem::ForbiddenCharacter;
  // With its separator back: a root ("/", or "D:" and a backslash) was trimmed to "" or "D:".
  if (!IsAbsolutePath(trimmed + NativeSeparator())) return FolderProblem::Relative;
  if (OnNetworkFileSystem(trimmed.empty() ? std::string(1, NativeSeparator()) : trimmed))
    return FolderProblem::Network;
  return FolderProblem::None;
}

bool IsLauncherPlace(LauncherContext& ctx, const std::string& folder) {
  const std::string place = ResolvedPath(folder);
  if (place.empty()) return false;
  for (const std::string& own : {ExeDir(), StateDir()})
    if (!own.empty() && IsSameOrInside(ResolvedPath(own), place)) return true;
  return IsSameOrInside(place, ResolvedPath(DataFolderPath(ctx)));
}

LauncherFiles::LauncherFiles(LauncherContext& ctx) {
  const std::string exeDir = ExeDir();
  const std::string stateDir = StateDir();
  for (const std::string& file : {ExePath(), JoinPath(exeDir, kServiceUrlFileName), JoinPath(stateDir, "launcher.log")})
    if (!file.empty()) files_.push_back(ResolvedPath(file));
  for (const std::string& folder : {JoinPath(exeDir, "ui"), JoinPath(stateDir, "wine"), DataFolderPath(ctx)})
    if (!folder.empty()) folders_.push_back(ResolvedPath(folder));
}

bool LauncherFiles::Reached(const std::string& target) {
  const std::string parent = ParentOf(target);
  auto known = resolved_.find(parent);
  if (known == resolved_.end()) known = resolved_.emplace(parent, ResolvedPath(parent)).first;
  const std::string& folder = known->second;
  if (folder.empty()) return false;
  // A link in the name's own place is replaced by the rename that places
  // the file, never written through.
  const std::string file = JoinPath(folder, target.substr(parent.size() + 1));
  for (const std::string& own : folders_)
    if (IsSameOrInside(file, own)) return true;
  return std::find(files_.begin(), files_.end(), file) != files_.end();
}

std::string FolderProblemText(FolderProblem problem) {
  switch (problem) {
    case FolderProblem::Network:
      return "Сетевые папки для установки не подходят: игра будет работать медленно, а связь может оборваться "
             "посреди загрузки. Выберите папку на диске этого компьютера.";
    case FolderProblem::ControlCharacter:
      return "В имени выбранной папки есть управляющие символы (например, перевод строки) — установщик не сможет "
             "её запомнить. Выберите или переименуйте папку так, чтобы в имени были только обычные символы.";
    case FolderProblem::ForbiddenCharacter:
      return "В имени выбранной папки есть знак, который Windows не допускает в именах (\" < > | ? *), — игра из "
             "такой папки не запустится. Выберите или переименуйте папку так, чтобы этих знаков в пути не было.";
    case FolderProblem::Relative:
      return "Папка указана не полным путём, и неясно, где она окажется. Выберите папку целиком, от диска.";
    case FolderProblem::LauncherPlace:
      return "В этой папке лежат сам лаунчер или его данные — игра записала бы файлы поверх них. Выберите для игры "
             "отдельную папку.";
    case FolderProblem::None:
      break;
  }
  return {};
}

}  // namespace tarn
