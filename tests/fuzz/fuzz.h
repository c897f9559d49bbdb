#pragma once
// What every fuzz target shares: a failed property ends the run at once
// with a message (the fuzzer keeps the input as a crash), and a scratch
// folder on a memory file system where one exists, removed at exit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "bridge/context.h"
#include "bridge/host_slots.h"

namespace tarn::fuzz {

inline void Check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", property);
  std::abort();
}

inline std::string_view Bytes(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Cuts the input at its first NUL: a short leading part that steers the
// target (a key, a mode) and the rest. Without a NUL the head is empty.
inline std::string_view Head(std::string_view& input) {
  const size_t nul = input.find('\0');
  if (nul == std::string_view::npos) return {};
  const std::string_view head = input.substr(0, nul);
  input.remove_prefix(nul + 1);
  return head;
}

inline const std::filesystem::path& ScratchFolder() {
  static const std::filesystem::path folder = [] {
    std::error_code ec;
    std::filesystem::path base = "/dev/shm";
    if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path(ec);
    std::filesystem::path made;
    for (int i = 0; i < 1000; ++i) {
      made = base / ("tarn-fuzz-" + std::to_string(std::rand()) + "-" + std::to_string(i));
      if (std::filesystem::create_directory(made, ec)) break;
    }
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchFolder(), ignored);
    });
    return made;
  }();
  return folder;
}

// Points a launcher's data folder at the scratch folder, for targets that
// read and write the state files there as the launcher does.
inline void UseScratchDataFolder(LauncherContext& ctx) {
  InstallHostSlots(ctx, {.post = {}, .open = {}, .pickFolder = {}, .dataFolder = ScratchFolder().string()});
}

}  // namespace tarn::fuzz
