#pragma once
// Small whole-operation file calls: each opens, acts and closes, so no
// handle outlives the call.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace tarn {

// Why a file or disk call failed. DiskFull when the disk (or the user's
// quota) has no room left; Missing when there is no regular file or folder
// to answer for; Failed for anything else.
enum class FileError : uint8_t { Failed, DiskFull, Missing };

// Whether other writers may open the file while an append is in progress.
// Only Windows enforces this; POSIX has no mandatory sharing.
enum class WriteSharing { Shared, Exclusive };

// Appends bytes at the end of the file in a single write, creating it when
// missing. False when the file cannot be opened or the write is short.
bool AppendToFile(const std::string& path, std::string_view bytes, WriteSharing sharing);

// Deletes a file. False when it did not exist or could not be removed.
bool RemoveFile(const std::string& path);

// Reads a whole file. False when it cannot be opened or read, or is not a
// regular file: a FIFO or device of that name is refused, never waited on.
bool ReadWholeFile(const std::string& path, std::string& bytes);

// Reads at most maxBytes from the start of a regular file, for records
// whose first bytes are all that counts: a huge file of that name costs no
// more than a small one. False as for ReadWholeFile.
bool ReadFileStart(const std::string& path, size_t maxBytes, std::string& bytes);

// Creates one folder level. True when the folder exists afterwards.
bool MakeFolder(const std::string& path);

}  // namespace tarn
