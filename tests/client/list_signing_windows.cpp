// Test lists signed with CryptoAPI, for the Windows build, which has no
// OpenSSL. Keys are the PEM blocks the operator tools write: "PRIVATE KEY"
// (PKCS #8) and "PUBLIC KEY" (SubjectPublicKeyInfo); new ones come from
// the Linux tool itself.
#include <windows.h>
// windows.h first: wincrypt.h builds on its types.
#include <wincrypt.h>

#include <stdexcept>
#include <vector>

#include "list_signing.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"

namespace tarn::test {
namespace {

struct Context {
  HCRYPTPROV h = 0;
  Context() {
    if (!CryptAcquireContextW(&h, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
      throw std::runtime_error("CryptAcquireContext");
  }
  ~Context() { CryptReleaseContext(h, 0); }
};

struct Key {
  HCRYPTKEY h = 0;
  ~Key() {
    if (h) CryptDestroyKey(h);
  }
};

struct Hash {
  HCRYPTHASH h = 0;
  ~Hash() {
    if (h) CryptDestroyHash(h);
  }
};

std::vector<BYTE> Decode(LPCSTR type, const BYTE* data, DWORD size) {
  DWORD length = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, data, size, 0, nullptr, nullptr, &length))
    throw std::runtime_error("CryptDecodeObjectEx");
  std::vector<BYTE> out(length);
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, data, size, 0, nullptr, out.data(), &length))
    throw std::runtime_error("CryptDecodeObjectEx");
  out.resize(length);
  return out;
}

std::vector<BYTE> PemToDer(const std::string& pem) {
  DWORD size = 0;
  const auto length = static_cast<DWORD>(pem.size());
  if (!CryptStringToBinaryA(pem.data(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
    throw std::runtime_error("PEM");
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(pem.data(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
  der.resize(size);
  return der;
}

// The element at at: its tag, where its content starts and how long it is.
bool ReadDer(const std::vector<BYTE>& der, size_t at, BYTE& tag, size_t& content, size_t& length) {
  if (at + 2 > der.size()) return false;
  tag = der[at];
  size_t n = der[at + 1];
  content = at + 2;
  if (n & 0x80) {
    const size_t bytes = n & 0x7F;
    if (bytes == 0 || bytes > 2 || content + bytes > der.size()) return false;
    n = 0;
    for (size_t i = 0; i < bytes; ++i) n = n << 8 | der[content + i];
    content += bytes;
  }
  length = n;
  return content + length <= der.size();
}

// The PKCS #1 key inside PKCS #8, read by hand: not every CryptoAPI
// (Wine's, for one) decodes the wrapper.
std::vector<BYTE> UnwrapPkcs8(const std::vector<BYTE>& der) {
  BYTE tag;
  size_t content, length;
  // SEQUENCE { INTEGER, SEQUENCE alg, OCTET STRING key }
  if (!ReadDer(der, 0, tag, content, length) || tag != 0x30) throw std::runtime_error("PKCS #8");
  size_t at = content;
  for (int skip = 0; skip < 2; ++skip) {
    if (!ReadDer(der, at, tag, content, length)) throw std::runtime_error("PKCS #8");
    at = content + length;
  }
  if (!ReadDer(der, at, tag, content, length) || tag != 0x04) throw std::runtime_error("PKCS #8");
  return std::vector<BYTE>(der.begin() + static_cast<ptrdiff_t>(content),
                           der.begin() + static_cast<ptrdiff_t>(content + length));
}

}  // namespace

TestKey MakeTestKey() {
  // The operator tool makes the pair, in the very form operators use.
  TempDir dir;
  const std::vector<std::string> argv = {PublishProgram().string(), "keygen", "--private",
                                         detail::ToolPath(dir.path() / "private.pem"), "--public",
                                         detail::ToolPath(dir.path() / "public.pem")};
  if (detail::RunQuiet(argv, dir.path() / "out") != 0) throw std::runtime_error("tarn-publish keygen");
  return {ReadFile(dir.path() / "private.pem"), ReadFile(dir.path() / "public.pem")};
}

std::string SignBytes(std::string_view bytes, const std::string& privatePem) {
  const std::vector<BYTE> der = PemToDer(privatePem);
  const std::vector<BYTE> rsa = UnwrapPkcs8(der);
  const std::vector<BYTE> blob = Decode(PKCS_RSA_PRIVATE_KEY, rsa.data(), static_cast<DWORD>(rsa.size()));
  Context context;
  Key key;
  // The blob says it is a key exchange key; signing wants the other slot.
  std::vector<BYTE> signing = blob;
  reinterpret_cast<BLOBHEADER*>(signing.data())->aiKeyAlg = CALG_RSA_SIGN;
  if (!CryptImportKey(context.h, signing.data(), static_cast<DWORD>(signing.size()), 0, 0, &key.h))
    throw std::runtime_error("CryptImportKey");
  Hash hash;
  if (!CryptCreateHash(context.h, CALG_MD5, 0, 0, &hash.h) ||
      !CryptHashData(hash.h, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0))
    throw std::runtime_error("hash");
  DWORD size = 0;
  CryptSignHashW(hash.h, AT_SIGNATURE, nullptr, 0, nullptr, &size);
  std::string signature(size, '\0');
  if (!CryptSignHashW(hash.h, AT_SIGNATURE, nullptr, 0, reinterpret_cast<BYTE*>(signature.data()), &size))
    throw std::runtime_error("CryptSignHash");
  signature.resize(size);
  // CryptoAPI writes the signature least significant byte first.
  return std::string(signature.rbegin(), signature.rend());
}

std::string EncodeBase64(std::string_view bytes) {
  DWORD size = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &size);
  std::string text(size, '\0');
  CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &size);
  text.resize(size);
  return text;
}

}  // namespace tarn::test
