#include "platform/crypto.h"

namespace tarn {

std::string Md5DigestHex(const Md5Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(32);
  for (unsigned char b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 0xF];
  }
  return hex;
}

bool FileMd5Hex(const std::string& path, std::string& hex) {
  hex.clear();
  Md5Digest digest{};
  if (!Md5OfFile(path, digest)) return false;
  hex = Md5DigestHex(digest);
  return true;
}

}  // namespace tarn
