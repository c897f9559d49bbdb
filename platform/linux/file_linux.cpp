#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/linux/posix_io.h"

namespace tarn {
namespace {

// Reads from fd until its end or maxBytes.
bool ReadUpTo(int fd, size_t maxBytes, std::string& bytes) {
  char buf[8192];
  while (bytes.size() < maxBytes) {
    const ssize_t n = read(fd, buf, std::min(sizeof buf, maxBytes - bytes.size()));
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      bytes.clear();
      return false;
    }
    bytes.append(buf, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view bytes, WriteSharing) {
  // Never through a link, and never into a FIFO that would hold the caller.
  Fd f(OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0644));
  if (!f.ok()) return false;
  // O_APPEND makes one write land whole at the end, so lines of concurrent
  // writers never interleave inside each other.
  ssize_t n;
  do {
    n = write(f.get(), bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size());
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  Fd f(OpenRegularFile(path, O_RDONLY));
  if (!f.ok()) return false;
  return ReadUpTo(f.get(), std::string::npos, bytes);
}

bool ReadFileStart(const std::string& path, size_t maxBytes, std::string& bytes) {
  bytes.clear();
  Fd f(OpenRegularFile(path, O_RDONLY));
  if (!f.ok()) return false;
  return ReadUpTo(f.get(), maxBytes, bytes);
}

bool MakeFolder(const std::string& path) { return MakeOutputFolder(path).ok(); }

}  // namespace tarn
