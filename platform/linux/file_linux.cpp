#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/linux/posix_io.h"

namespace tarn {
namespace {

// Owns a POSIX descriptor for the length of one call.
}  // namespace

bool AppendToFile(const std::string& path, std::string_view bytes, WriteSharing) {
  Fd f(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (f.fd < 0) return false;
  // O_APPEND makes one write land whole at the end, so lines of concurrent
  // writers never interleave inside each other.
  ssize_t n;
  do {
    n = write(f.fd, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size());
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  Fd f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (f.fd < 0) return false;
  char buf[8192];
  for (;;) {
    const ssize_t n = read(f.fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.append(buf, static_cast<size_t>(n));
  }
}

bool MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st{};
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace tarn
