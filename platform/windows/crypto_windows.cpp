#include <windows.h>
// windows.h first: wincrypt.h builds on its types.
#include <wincrypt.h>

#include <algorithm>
#include <vector>

#include "platform/crypto.h"
#include "platform/windows/handle.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

constexpr DWORD kReadPiece = 1 << 20;

struct ProviderTraits {
  using Value = HCRYPTPROV;
  static Value None() { return 0; }
  static bool Free(Value h) { return CryptReleaseContext(h, 0) != 0; }
};
using Provider = UniqueHandle<ProviderTraits>;

struct HashTraits {
  using Value = HCRYPTHASH;
  static Value None() { return 0; }
  static bool Free(Value h) { return CryptDestroyHash(h) != 0; }
};
using Hash = UniqueHandle<HashTraits>;

// The digest algorithm of the whole file at path into out (size bytes),
// from a provider of type providerType that has it.
bool DigestOfFile(const std::string& path, ALG_ID algorithm, DWORD providerType, BYTE* out, DWORD size) {
  Handle file(CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.ok()) return false;
  Provider provider;
  Hash hash;
  if (!CryptAcquireContextW(provider.Out(), nullptr, nullptr, providerType, CRYPT_VERIFYCONTEXT)) return false;
  if (!CryptCreateHash(provider.get(), algorithm, 0, 0, hash.Out())) return false;
  std::vector<BYTE> piece(kReadPiece);
  for (;;) {
    DWORD n = 0;
    // A read that fails part-way must not yield the digest of a prefix.
    if (!ReadFile(file.get(), piece.data(), kReadPiece, &n, nullptr)) return false;
    if (n == 0) break;
    if (!CryptHashData(hash.get(), piece.data(), n, 0)) return false;
  }
  const DWORD wanted = size;
  return CryptGetHashParam(hash.get(), HP_HASHVAL, out, &size, 0) && size == wanted;
}

}  // namespace

bool Md5OfFile(const std::string& path, Md5Digest& digest) {
  return DigestOfFile(path, CALG_MD5, PROV_RSA_FULL, digest.data(), static_cast<DWORD>(digest.size()));
}

// The plain provider has no SHA-256; the AES one does.
bool Sha256OfFile(const std::string& path, Sha256Digest& digest) {
  return DigestOfFile(path, CALG_SHA_256, PROV_RSA_AES, digest.data(), static_cast<DWORD>(digest.size()));
}

bool Sha256Of(std::string_view bytes, Sha256Digest& digest) {
  Provider provider;
  Hash hash;
  // The plain provider has no SHA-256; the AES one does.
  if (!CryptAcquireContextW(provider.Out(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;
  if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.Out())) return false;
  if (bytes.size() > (1u << 30)) return false;
  if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0))
    return false;
  DWORD size = static_cast<DWORD>(digest.size());
  return CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &size, 0) && size == digest.size();
}

namespace {

// No list key is near this size; anything larger is not a key.
constexpr size_t kLargestPem = 16 * 1024;
constexpr DWORD kHashPiece = 1u << 30;

struct KeyTraits {
  using Value = HCRYPTKEY;
  static Value None() { return 0; }
  static bool Free(Value h) { return CryptDestroyKey(h) != 0; }
};
using Key = UniqueHandle<KeyTraits>;

// The DER of the first PEM block of the text, its header lines checked by
// the system's decoder.
bool PemToDer(std::string_view pem, std::vector<BYTE>& der) {
  DWORD size = 0;
  const auto length = static_cast<DWORD>(pem.size());
  if (!CryptStringToBinaryA(pem.data(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr) ||
      size == 0)
    return false;
  der.resize(size);
  if (!CryptStringToBinaryA(pem.data(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
    return false;
  der.resize(size);
  return true;
}

// Whether signature is an RSA PKCS #1 v1.5 signature with the digest
// (from a provider of providerType) over data by publicKeyPem.
bool VerifyRsaSignature(ALG_ID digest, DWORD providerType, std::string_view publicKeyPem, std::string_view data,
                        std::string_view signature) {
  if (publicKeyPem.empty() || publicKeyPem.size() > kLargestPem || signature.empty()) return false;
  std::vector<BYTE> der;
  if (!PemToDer(publicKeyPem, der)) return false;
  LocalMemory<CERT_PUBLIC_KEY_INFO> decoded;
  DWORD decodedSize = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), static_cast<DWORD>(der.size()),
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, decoded.Out(), &decodedSize))
    return false;
  const char* algorithm = decoded.get()->Algorithm.pszObjId;
  if (!algorithm || std::string_view(algorithm) != szOID_RSA_RSA) return false;

  Provider provider;
  if (!CryptAcquireContextW(provider.Out(), nullptr, nullptr, providerType, CRYPT_VERIFYCONTEXT)) return false;
  Key key;
  if (!CryptImportPublicKeyInfo(provider.get(), X509_ASN_ENCODING, decoded.get(), key.Out())) return false;
  // A signature is exactly as long as the modulus; the provider would pad
  // a short one with zeros instead of refusing it.
  DWORD bits = 0;
  DWORD bitsSize = sizeof bits;
  if (!CryptGetKeyParam(key.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &bitsSize, 0) ||
      signature.size() != (bits + 7) / 8)
    return false;

  Hash hash;
  if (!CryptCreateHash(provider.get(), digest, 0, 0, hash.Out())) return false;
  for (size_t at = 0; at < data.size();) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(data.size() - at, kHashPiece));
    if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(data.data() + at), piece, 0)) return false;
    at += piece;
  }
  // CryptoAPI takes the signature least significant byte first.
  std::vector<BYTE> reversed(signature.rbegin(), signature.rend());
  return CryptVerifySignatureW(hash.get(), reversed.data(), static_cast<DWORD>(reversed.size()), key.get(), nullptr, 0) != 0;
}

}  // namespace

bool VerifyRsaMd5Signature(std::string_view publicKeyPem, std::string_view data, std::string_view signature) {
  return VerifyRsaSignature(CALG_MD5, PROV_RSA_FULL, publicKeyPem, data, signature);
}

bool VerifyRsaSha256Signature(std::string_view publicKeyPem, std::string_view data, std::string_view signature) {
  return VerifyRsaSignature(CALG_SHA_256, PROV_RSA_AES, publicKeyPem, data, signature);
}

}  // namespace tarn
