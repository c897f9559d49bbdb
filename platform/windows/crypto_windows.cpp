#include <windows.h>
// windows.h first: wincrypt.h builds on its types.
#include <wincrypt.h>

#include <vector>

#include "platform/crypto.h"
#include "platform/windows/handle.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

constexpr DWORD kReadPiece = 1 << 20;

struct Provider {
  HCRYPTPROV h = 0;
  Provider() = default;
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  ~Provider() {
    if (h) CryptReleaseContext(h, 0);
  }
};

struct Hash {
  HCRYPTHASH h = 0;
  Hash() = default;
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  ~Hash() {
    if (h) CryptDestroyHash(h);
  }
};

}  // namespace

bool Md5OfFile(const std::string& path, Md5Digest& digest) {
  Handle file(CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.ok()) return false;
  Provider provider;
  Hash hash;
  if (!CryptAcquireContextW(&provider.h, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
  if (!CryptCreateHash(provider.h, CALG_MD5, 0, 0, &hash.h)) return false;
  std::vector<BYTE> piece(kReadPiece);
  for (;;) {
    DWORD n = 0;
    // A read that fails part-way must not yield the digest of a prefix.
    if (!ReadFile(file.h, piece.data(), kReadPiece, &n, nullptr)) return false;
    if (n == 0) break;
    if (!CryptHashData(hash.h, piece.data(), n, 0)) return false;
  }
  DWORD size = static_cast<DWORD>(digest.size());
  return CryptGetHashParam(hash.h, HP_HASHVAL, digest.data(), &size, 0) && size == digest.size();
}

// TODO: CryptStringToBinaryA (CRYPT_STRING_BASE64HEADER) on the PEM text,
// CryptDecodeObjectEx (X509_PUBLIC_KEY_INFO), CryptAcquireContextW
// (PROV_RSA_AES, CRYPT_VERIFYCONTEXT), CryptImportPublicKeyInfo,
// CryptCreateHash (CALG_MD5) + CryptHashData, then CryptVerifySignatureW
// with the signature bytes reversed (CryptoAPI reads them least significant
// first). Until then every list is refused.
bool VerifyRsaMd5Signature(std::string_view, std::string_view, std::string_view) { return false; }

}  // namespace tarn
