#pragma once
// Owners for the Win32 handles the backend holds. Internal to the Windows
// backend: logic code never sees a HANDLE.
#include <windows.h>

#include "platform/unique_handle.h"

namespace tarn {

struct KernelHandleTraits {
  using Value = HANDLE;
  static Value None() { return INVALID_HANDLE_VALUE; }
  // Some calls say "none" with nullptr, others with INVALID_HANDLE_VALUE.
  static bool Valid(Value h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static bool Free(Value h) { return CloseHandle(h) != 0; }
};
// A kernel handle: file, process, thread.
using Handle = UniqueHandle<KernelHandleTraits>;

template <typename T>
struct LocalMemoryTraits {
  using Value = T*;
  static Value None() { return nullptr; }
  static bool Free(Value p) { return LocalFree(p) == nullptr; }
};
// What a Win32 call allocated with LocalAlloc on the caller's behalf.
template <typename T>
using LocalMemory = UniqueHandle<LocalMemoryTraits<T>>;

}  // namespace tarn
