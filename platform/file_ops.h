#pragma once
// File-system questions and the crash-safe replace that the client and
// install records need beyond the whole-operation calls of file.h.
#include <functional>
#include <string>
#include <string_view>

namespace tarn {

// Whether path names an existing file that is not a folder (links are
// followed). A folder that merely carries a file's name does not count.
bool IsFile(const std::string& path);

// The absolute, lexically normalised form of path: "." and ".." segments
// resolved as text, links left alone, no trailing separator except for the
// root. Empty when it cannot be formed (Windows: 260 units or more).
std::string FullPath(const std::string& path);

// FullPath with every link of its existing part followed: the longest
// leading part that exists is resolved by the file system, the rest (not
// yet made) is appended as written. So two texts naming the same place
// through links resolve alike. FullPath's answer when nothing can be
// resolved; empty when that is empty.
std::string ResolvedPath(const std::string& path);

// The folder above folder, for searches that climb towards the root but
// must never reach it: empty when folder has no separator, or when the
// parent would be the file-system root ("/" on Linux, a drive root such as
// "C:\" on Windows).
std::string SearchParent(const std::string& folder);

// Who may read a replaced file: whoever the folder lets in, or its owner
// alone (Linux: mode 0600; Windows: a protected DACL naming only the
// current user, nothing inherited).
enum class FileAccess { Shared, OwnerOnly };

// Replaces the file's whole content so that a crash at any moment leaves
// either the old content or the new, never a mixture: the bytes go to a
// temporary file in the same folder, created with the given access, are
// flushed to disk, and the temporary file is renamed over path. False (the
// old file untouched, no temporary file left behind) when any step fails.
// For the launcher's own folders: on Linux it also removes the temporary
// files of path's earlier writers that died before their rename.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, FileAccess access = FileAccess::Shared);

// ReplaceFileAtomically (Shared) for a file in a folder the launcher shares
// with files not its own (the client's): every other file there is left
// alone, the temporary files of earlier writers included, whatever their
// names. before hears the temporary file's path just before it is made
// (again for another name, should that one be taken), so the caller can
// note it first and remove it after a crash. The temporary file is only
// ever made where no file was.
bool ReplaceSharedFileAtomically(const std::string& path, std::string_view bytes,
                                 const std::function<void(const std::string& temp)>& before);

}  // namespace tarn
