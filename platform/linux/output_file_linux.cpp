#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/linux/posix_io.h"
#include "platform/output_file.h"

namespace tarn {
namespace {

WriteResult StatusOf(int error) {
  return error == ENOSPC || error == EDQUOT ? Fail(FileError::DiskFull) : Fail(FileError::Failed);
}

}  // namespace

OutputFile::~OutputFile() {
  if (isOpen()) close(static_cast<int>(handle_));
}

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.release()) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) adopt(other.release());
  return *this;
}

void OutputFile::adopt(intptr_t handle) {
  if (isOpen()) close(static_cast<int>(handle_));
  handle_ = handle;
}

intptr_t OutputFile::release() { return std::exchange(handle_, kClosed); }

WriteResult OpenOutputFile(const std::string& path, uint64_t offset, OutputFile& file) {
  file.adopt(-1);
  int fd = -1;
  if (offset == 0) {
    // Whatever holds the name goes, a link included (only the link itself),
    // and the file made in its place is new: O_EXCL never follows a link.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return Fail(FileError::Failed);
    errno = 0;  // a name that is not a regular file fails without a cause
    fd = OpenRegularFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  } else {
    errno = 0;
    fd = OpenRegularFile(path, O_WRONLY | O_NOFOLLOW);
  }
  if (fd < 0) return StatusOf(errno);
  file.adopt(fd);
  if (offset > 0 && lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    file.adopt(-1);
    return Fail(FileError::Failed);
  }
  return {};
}

WriteResult MakeOutputFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return {};
  const int error = errno;
  struct stat st{};
  if (error == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return StatusOf(error);
}

WriteResult WriteOutputFile(OutputFile& file, std::string_view bytes) {
  if (!file.isOpen()) return Fail(FileError::Failed);
  const int fd = static_cast<int>(file.handle());
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return StatusOf(errno);
    }
    // A short write without an error is how a full disk shows itself first;
    // the next write names the cause.
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

void StartWritingOut(OutputFile& file, uint64_t offset, uint64_t length) {
  if (file.isOpen())
    sync_file_range(static_cast<int>(file.handle()), static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

WriteResult CommitOutputFile(OutputFile& file) {
  if (!file.isOpen()) return Fail(FileError::Failed);
  const int fd = static_cast<int>(file.release());
  // fdatasync covers the data and the size, which is all a reader needs;
  // some file systems only report a full disk here or at close.
  WriteResult status;
  if (fdatasync(fd) != 0) status = StatusOf(errno);
  if (close(fd) != 0 && status.ok()) status = StatusOf(errno);
  return status;
}

WriteResult SyncFileToDisk(const std::string& path) {
  const int fd = OpenRegularFile(path, O_RDONLY | O_NOFOLLOW);
  if (fd < 0) return Fail(FileError::Failed);
  OutputFile file;
  file.adopt(fd);
  return CommitOutputFile(file);
}

Result<uint64_t, FileError> FileSize(const std::string& path) {
  // A link is not a file here: the downloader must never resume into, or
  // size itself by, whatever a link points at.
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(FileError::Missing);
  return static_cast<uint64_t>(st.st_size);
}

bool MoveFileOver(const std::string& from, const std::string& to) {
  // Only a regular file takes the target's place, never a link to
  // something elsewhere.
  struct stat st{};
  if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // rename replaces the target in one step, whatever its mode, so there is
  // never a moment without a file at "to".
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void CommitOutputFiles(OutputFile* const* files, size_t count, WriteResult* results) {
  if (count == 1) {
    results[0] = CommitOutputFile(*files[0]);
    return;
  }
  int anyFd = -1;
  for (size_t i = 0; i < count; ++i) {
    if (!files[i]->isOpen()) continue;
    anyFd = static_cast<int>(files[i]->handle());
    sync_file_range(anyFd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  // One flush of the file system covers every file's data and size, where
  // a file-by-file fdatasync would wait for the disk (and flush its cache)
  // once per file. Since Linux 5.8 syncfs reports a failed write-back.
  WriteResult together;
  if (anyFd >= 0 && syncfs(anyFd) != 0) together = StatusOf(errno);
  for (size_t i = 0; i < count; ++i) {
    if (!files[i]->isOpen()) {
      results[i] = Fail(FileError::Failed);
      continue;
    }
    const int fd = static_cast<int>(files[i]->release());
    results[i] = together;
    // Waiting on the file's own range costs nothing once syncfs has
    // written it, and reports a write-back error that belongs to this file.
    if (results[i].ok() &&
        sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0)
      results[i] = StatusOf(errno);
    if (close(fd) != 0 && results[i].ok()) results[i] = StatusOf(errno);
  }
}

}  // namespace tarn
