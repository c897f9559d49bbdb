#pragma once
// A lock between processes on one file: whoever holds it may do what the
// file guards (the launcher's own update), and the system lets it go when
// the holder ends, however it ends, so a killed launcher never leaves one
// that nobody can take.
#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace tarn {

// The backend's handle of a held lock, as a plain number; Free lets it go.
struct FileLockTraits {
  using Value = intptr_t;
  static Value None() { return -1; }
  static bool Free(Value lock);
};
// ok() while the lock is held.
using FileLock = UniqueHandle<FileLockTraits>;

// Takes the lock of path (made when missing, never through a link) without
// waiting. Not held when another process (or another FileLock of this
// one) has it, or the file cannot be opened.
FileLock TryLockFile(const std::string& path);

}  // namespace tarn
