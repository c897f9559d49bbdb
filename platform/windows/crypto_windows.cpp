#include "platform/crypto.h"

namespace tarn {

// TODO: hash with CryptAcquireContextW (PROV_RSA_FULL, CRYPT_VERIFYCONTEXT),
// CryptCreateHash (CALG_MD5), CryptHashData over 1 MiB ReadFile pieces of a
// file opened with FILE_FLAG_SEQUENTIAL_SCAN, and CryptGetHashParam
// (HP_HASHVAL). Until then no file hashes, so every file counts as changed.
bool Md5OfFile(const std::string&, Md5Digest&) { return false; }

// TODO: CryptStringToBinaryA (CRYPT_STRING_BASE64HEADER) on the PEM text,
// CryptDecodeObjectEx (X509_PUBLIC_KEY_INFO), CryptAcquireContextW
// (PROV_RSA_AES, CRYPT_VERIFYCONTEXT), CryptImportPublicKeyInfo,
// CryptCreateHash (CALG_MD5) + CryptHashData, then CryptVerifySignatureW
// with the signature bytes reversed (CryptoAPI reads them least significant
// first). Until then every list is refused.
bool VerifyRsaMd5Signature(std::string_view, std::string_view, std::string_view) { return false; }

}  // namespace tarn
