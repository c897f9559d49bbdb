#pragma once
// A kernel handle owned for the length of a call. Internal to the Windows
// backend: logic code never sees a HANDLE.
#include <windows.h>

namespace tarn {

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  // Closes now and tells whether the close succeeded: for a file written
  // through, a failed close can be the first news of a failed write.
  bool Close() {
    const bool closed = !ok() || CloseHandle(h) != 0;
    h = INVALID_HANDLE_VALUE;
    return closed;
  }
};

}  // namespace tarn
