#pragma once
// The window's taskbar button: a long job's progress on it while the job
// runs, and a flash when one ends while the player looks elsewhere. A
// system without the taskbar's interface (or with a stub of it, as Wine
// has) simply shows neither.
#include <windows.h>
#include <shobjidl.h>

#include <cstdint>
#include <memory>
#include <optional>

namespace tarn {

struct TaskbarRelease {
  void operator()(ITaskbarList3* list) const { list->Release(); }
};
using TaskbarList = std::unique_ptr<ITaskbarList3, TaskbarRelease>;

// The shell's taskbar list, ready for use; null when the system has none.
// Call on a thread with COM set up.
TaskbarList ConnectTaskbar();

// The bar at percent of the button, or no bar for nullopt. False when the
// taskbar refused: the caller stops asking.
bool ShowTaskbarProgress(ITaskbarList3* list, HWND window, std::optional<uint32_t> percent);

// Whether the player has the window before them: the foreground window,
// and not minimised.
bool WindowInFront(HWND window);

// Flashes the button (and caption) until the player brings the window up.
void FlashUntilInFront(HWND window);

}  // namespace tarn
