#include "host/win/taskbar.h"

namespace tarn {

TaskbarList ConnectTaskbar() {
  ITaskbarList3* list = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              reinterpret_cast<void**>(&list))) ||
      !list)
    return nullptr;
  TaskbarList owned(list);
  if (FAILED(owned->HrInit())) return nullptr;
  return owned;
}

bool ShowTaskbarProgress(ITaskbarList3* list, HWND window, std::optional<uint32_t> percent) {
  if (!list || !window) return false;
  if (!percent) return SUCCEEDED(list->SetProgressState(window, TBPF_NOPROGRESS));
  const ULONGLONG done = *percent > 100 ? 100 : *percent;
  return SUCCEEDED(list->SetProgressState(window, TBPF_NORMAL)) &&
         SUCCEEDED(list->SetProgressValue(window, done, 100));
}

bool WindowInFront(HWND window) {
  return window && GetForegroundWindow() == window && !IsIconic(window);
}

void FlashUntilInFront(HWND window) {
  FLASHWINFO flash{};
  flash.cbSize = sizeof flash;
  flash.hwnd = window;
  // The button stays lit once the flashes are over, until the window
  // comes to the foreground.
  flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
  flash.uCount = 3;
  FlashWindowEx(&flash);
}

}  // namespace tarn
