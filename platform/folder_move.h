#pragma once
// Moving a whole folder: whether two places share one file system, the
// rename of a folder, what a folder holds and the removal of an emptied
// one. The rules of moving the game (what moves, when the record switches)
// are the job's own.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/result.h"

namespace tarn {

// Whether from and to lie on one file system, so a rename can move a folder
// between them: the nearest existing folder on the way to each decides
// (Linux: the device of each; Windows: the volume each lies on). Failed
// when either cannot be looked at.
Result<bool, FileError> OnSameFileSystem(const std::string& from, const std::string& to);

// Why a folder could not be renamed: another file system (the copy must do
// the move), or anything else.
enum class RenameProblem : uint8_t { OtherFileSystem, Failed };

// Gives the folder at from the name to, which must not exist (its parent
// must). A link at from is never renamed as if it were the folder.
Result<void, RenameProblem> RenameFolder(const std::string& from, const std::string& to);

// The names in folder ("." and ".." left out), at most limit of them (the
// caller decides what more would mean). Missing when nothing has that
// name; Failed when it is a link, a file or a folder that cannot be read.
Result<std::vector<std::string>, FileError> FolderNames(const std::string& folder, size_t limit);

// Removes one folder when it is empty; false when it is not, or is a link,
// or cannot be removed.
bool RemoveEmptyFolder(const std::string& folder);

}  // namespace tarn
