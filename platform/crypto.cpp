#include "platform/crypto.h"

namespace tarn {

bool FileMd5Hex(const std::string& path, std::string& hex) {
  hex.clear();
  Md5Digest digest{};
  if (!Md5OfFile(path, digest)) return false;
  static constexpr char kHex[] = "0123456789abcdef";
  hex.reserve(32);
  for (unsigned char b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 0xF];
  }
  return true;
}

}  // namespace tarn
