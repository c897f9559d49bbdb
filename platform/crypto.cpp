#include "platform/crypto.h"

#include "platform/encoding.h"

namespace tarn {

bool FileMd5Hex(const std::string& path, std::string& hex) {
  hex.clear();
  Md5Digest digest{};
  if (!Md5OfFile(path, digest)) return false;
  hex = Md5DigestHex(digest);
  return true;
}

std::string Md5DigestHex(const Md5Digest& digest) {
  return HexText(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string Sha256DigestHex(const Sha256Digest& digest) {
  return HexText(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

}  // namespace tarn
