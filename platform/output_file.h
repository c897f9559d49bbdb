#pragma once
// A file written piece by piece that must be on the disk before anything
// reports it complete: the downloader's ".part" files.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/result.h"

namespace tarn {

using WriteResult = Result<void, FileError>;

// Owns one file open for writing. Going away closes it without forcing its
// data to disk; CommitOutputFile is the way to finish a file that counts.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool isOpen() const { return handle_ != kClosed; }
  intptr_t handle() const { return handle_; }
  void adopt(intptr_t handle);
  intptr_t release();

 private:
  static constexpr intptr_t kClosed = -1;
  intptr_t handle_ = kClosed;
};

// Opens path for writing while others may read it, never through a link
// and only as a regular file. With offset 0 the file is made anew, taking
// the place of whatever held the name (a link is replaced, not followed);
// otherwise it must exist as a regular file, and writing continues at
// offset. DiskFull when the disk (or the user's quota) has no room for
// another file, which happens with bytes to spare once the file system has
// run out of entries; Failed for anything else that keeps the file from
// being opened or positioned.
WriteResult OpenOutputFile(const std::string& path, uint64_t offset, OutputFile& file);

// Creates one folder level for files about to be written into it: Ok when
// it exists afterwards, DiskFull as for OpenOutputFile, Failed otherwise.
WriteResult MakeOutputFolder(const std::string& path);

// Writes all bytes at the current position. DiskFull when the disk (or the
// user's quota) ran out, Failed for any other error.
WriteResult WriteOutputFile(OutputFile& file, std::string_view bytes);

// Asks the system to start writing length bytes from offset to the disk
// now, without waiting for them, so that a later CommitOutputFile has less
// left to wait for. Only a hint: nothing changes for the caller when the
// system declines.
void StartWritingOut(OutputFile& file, uint64_t offset, uint64_t length);

// Forces the file's data to the disk and closes it: a file renamed after
// this never comes back after a power cut as a name over missing data. The
// file is closed whatever the result.
WriteResult CommitOutputFile(OutputFile& file);

// CommitOutputFile for several finished files at once: each one's data is
// on the disk and each file closed when this returns, and results[i] says
// how files[i] fared. The backend may flush them together, which costs about
// one wait for the disk instead of one per file (on Linux: the writes start
// for all, then one flush of the file system that holds them, which also
// writes back whatever else is waiting on it). A file that is not open
// fails.
void CommitOutputFiles(OutputFile* const* files, size_t count, WriteResult* results);

// Forces the data of an existing file to the disk without changing it.
WriteResult SyncFileToDisk(const std::string& path);

// Size in bytes of a regular file; Missing when there is none, not a file,
// or a link (links are not followed).
Result<uint64_t, FileError> FileSize(const std::string& path);

// Gives the file at from the name to, taking the place of a file already
// there even when that one is read-only. False (from untouched) when the
// move fails or from is not a regular file: a link never takes a target's
// place.
bool MoveFileOver(const std::string& from, const std::string& to);

}  // namespace tarn
