#pragma once
// POSIX descriptor helpers shared by the Linux backend's files. Internal to
// the backend: logic code never sees a descriptor.
#include <dirent.h>
#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/unique_handle.h"

namespace tarn {

struct FdTraits {
  using Value = int;
  static int None() { return -1; }
  static bool Free(int fd);
};
// Owns one descriptor; -1 means none.
using Fd = UniqueHandle<FdTraits>;

struct FolderTraits {
  using Value = DIR*;
  static Value None() { return nullptr; }
  static bool Free(Value dir);
};
// Owns one open directory stream.
using Folder = UniqueHandle<FolderTraits>;

// Opens path with flags (O_CLOEXEC added) only when it is a regular file,
// or -1. A FIFO or device of that name is never waited on: the open does
// not block (O_NONBLOCK, cleared again once the file is known to be
// regular) and anything but a regular file is closed at once. Pass
// O_NOFOLLOW as well where a link must not be followed either.
int OpenRegularFile(const std::string& path, int flags, mode_t mode = 0);

// Writes every byte, retrying short writes and interruptions.
bool WriteAll(int fd, std::string_view bytes);

// The folder part of path: "." without a slash, "/" for a file at the root.
std::string FolderOf(const std::string& path);

// Flushes a folder's entries, so that a rename or link in it survives a
// power cut.
void SyncFolder(const std::string& folder);

// The launcher's folder among the user's data folders, by the XDG rules
// ($XDG_DATA_HOME/tarn-launcher, a relative XDG_DATA_HOME ignored, else
// ~/.local/share/tarn-launcher), made when missing with every level made
// here private (0700): it holds the player's accounts and key. Empty when
// no home is known or the folder cannot be made.
std::string MakeUserStateFolder();

}  // namespace tarn
