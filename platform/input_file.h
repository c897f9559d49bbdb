#pragma once
// A regular file read piece by piece, from the front or at any offset: an
// old copy of a client file whose blocks a patch keeps.
#include <cstdint>
#include <string>

namespace tarn {

// What tells two looks at one file apart: a file rewritten in between
// shows another size or time of last change.
struct FileStamp {
  int64_t size = -1;
  // The times of the last write to the data and to the file's record, in
  // the backend's own units; only ever compared.
  int64_t written = 0;
  int64_t changed = 0;
  bool operator==(const FileStamp&) const = default;
};

// Owns one file open for reading, shared with other readers and writers.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool isOpen() const { return handle_ != kClosed; }
  intptr_t handle() const { return handle_; }
  void adopt(intptr_t handle);

 private:
  static constexpr intptr_t kClosed = -1;
  intptr_t handle_ = kClosed;
};

// Opens path for reading when it is a regular file; never through a link,
// never waiting on a FIFO or device. False otherwise.
bool OpenInputFile(const std::string& path, InputFile& file);

// Reads up to size bytes at offset into buffer; the count read (0 at the
// end of the file), or -1 on an error.
int64_t ReadInputFile(InputFile& file, uint64_t offset, char* buffer, size_t size);

// The open file's stamp now; size -1 when it cannot be had.
FileStamp StampOf(InputFile& file);

}  // namespace tarn
