#pragma once
// The system's folder chooser, asked from a task thread.
#include <windows.h>

#include <optional>
#include <string>

#include "bridge/host_slots.h"

namespace tarn {

// Shows a folder chooser owned by owner on the calling thread, in a COM
// apartment of its own, and waits for the player. The chosen file-system
// folder (UTF-8), or nothing when cancelled or when no dialog can be shown.
std::optional<std::string> PickFolderWithDialog(const FolderDialog& dialog, HWND owner);

}  // namespace tarn
