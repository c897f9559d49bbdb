#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/file_lock.h"

namespace tarn {

bool FileLockTraits::Free(Value lock) { return close(static_cast<int>(lock)) == 0; }

FileLock TryLockFile(const std::string& path) {
  // An open file description of its own: flock locks belong to it, so a
  // second FileLock of this process is turned away as another process is.
  FileLock file(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.ok() && flock(static_cast<int>(file.get()), LOCK_EX | LOCK_NB) != 0) file.Close();
  return file;
}

}  // namespace tarn
