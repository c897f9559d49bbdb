// The client's version file: the leading number of its first bytes, read
// from a real file.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "client/version_file.h"
#include "fuzz.h"
#include "platform/file.h"

using namespace tarn;
using fuzz::Check;

namespace {

// C atoi with the value held at the ends of the 32-bit range.
int32_t Reference(const std::string& text) {
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX || (errno == ERANGE && value > 0)) return INT32_MAX;
  if (value < INT32_MIN || (errno == ERANGE && value < 0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz::Bytes(data, size);
  const std::string path = (fuzz::ScratchFolder() / "version.sw").string();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  std::string start;
  Check(ReadFileStart(path, 63, start), "a regular file is readable");
  Check(start == input.substr(0, 63), "only the first 63 bytes are read, all of them");
  // strtoll stops at a NUL and knows nothing else of it; LeadingNumber reads
  // the bytes as they are, so compare up to the first NUL only.
  const std::string upToNul(start.c_str());
  Check(LeadingNumber(upToNul) == Reference(upToNul), "the leading number is C atoi's");
  return 0;
}
