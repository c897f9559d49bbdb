#include "install/folder.h"

#include "bridge/host_slots.h"
#include "platform/paths.h"

namespace tarn {
namespace {

constexpr std::string_view kGameFolder = "ТАРН";

bool IsSeparator(char c) { return c == '/' || c == NativeSeparator(); }

}  // namespace

uint64_t FreeSpaceOf(const std::string& path) { return DiskFreeBytes(path); }

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

bool PickInstallFolder(std::string& folder) {
  const std::optional<std::string> chosen =
      PickFolder({.title = "Куда установить игру", .acceptLabel = "Выбрать", .startFolder = BestFixedDrive()});
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
  if (OnNetworkFileSystem(trimmed.empty() ? std::string(1, NativeSeparator()) : trimmed))
    return FolderProblem::Network;
  return FolderProblem::None;
}

std::string FolderProblemText(FolderProblem problem) {
  switch (problem) {
    case FolderProblem::Network:
      return "Сетевые папки для установки не подходят: игра будет работать медленно, а связь может оборваться "
             "посреди загрузки. Выберите папку на диске этого компьютера.";
    case FolderProblem::ControlCharacter:
      return "В имени выбранной папки есть управляющие символы (например, перевод строки) — установщик не сможет "
             "её запомнить. Выберите или переименуйте папку так, чтобы в имени были только обычные символы.";
    case FolderProblem::None:
      break;
  }
  return {};
}

}  // namespace tarn
