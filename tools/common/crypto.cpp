#include "tools/common/crypto.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <vector>

#include "platform/encoding.h"
#include "platform/unique_handle.h"

namespace tarn::tools {
namespace {

using BioPtr = UniqueHandle<FreedBy<BIO, BIO_free>>;
using PkeyPtr = UniqueHandle<FreedBy<EVP_PKEY, EVP_PKEY_free>>;
using MdCtxPtr = UniqueHandle<FreedBy<EVP_MD_CTX, EVP_MD_CTX_free>>;

std::string LastOpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

BioPtr MemoryBio(std::string_view text) { return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))); }

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

PkeyPtr ReadPublicKey(std::string_view pem) {
  BioPtr bio = MemoryBio(pem);
  if (!bio) return {};
  return PkeyPtr(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

}  // namespace

std::string LowerHex(const unsigned char* bytes, size_t n) {
  return HexText(std::string_view(reinterpret_cast<const char*>(bytes), n));
}

std::string Md5Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_md5(), nullptr) != 1) return {};
  return LowerHex(digest, n);
}

bool GenerateKeyPair(std::string& privatePem, std::string& publicPem, std::string& error) {
  PkeyPtr key(EVP_RSA_gen(2048));
  if (!key) {
    error = "cannot generate an RSA key: " + LastOpenSslError();
    return false;
  }
  BioPtr priv(BIO_new(BIO_s_mem()));
  BioPtr pub(BIO_new(BIO_s_mem()));
  if (!priv || !pub || PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_PUBKEY(pub.get(), key.get()) != 1) {
    error = "cannot write the key pair: " + LastOpenSslError();
    return false;
  }
  privatePem = BioText(priv.get());
  publicPem = BioText(pub.get());
  return true;
}

namespace {

bool SignRsa(const EVP_MD* md, std::string_view privatePem, std::string_view data, std::string& signature,
             std::string& error) {
  signature.clear();
  BioPtr bio = MemoryBio(privatePem);
  PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    error = "cannot read the private key (expected an unencrypted PEM private key): " + LastOpenSslError();
    return false;
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    error = "the private key is not an RSA key";
    return false;
  }
  if (EVP_PKEY_get_bits(key.get()) != 2048) {
    error = "the private key has " + std::to_string(EVP_PKEY_get_bits(key.get())) +
            " bits; the launcher accepts RSA-2048 only";
    return false;
  }
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by ctx
  if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, md, nullptr, key.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
    error = "cannot start signing: " + LastOpenSslError();
    return false;
  }
  size_t length = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, data.size()) != 1) {
    error = "cannot sign: " + LastOpenSslError();
    return false;
  }
  std::string out(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &length, bytes, data.size()) != 1) {
    error = "cannot sign: " + LastOpenSslError();
    return false;
  }
  out.resize(length);
  signature = std::move(out);
  return true;
}

}  // namespace

bool SignRsaMd5(std::string_view privatePem, std::string_view data, std::string& signature, std::string& error) {
  return SignRsa(EVP_md5(), privatePem, data, signature, error);
}

bool SignRsaSha256(std::string_view privatePem, std::string_view data, std::string& signature, std::string& error) {
  return SignRsa(EVP_sha256(), privatePem, data, signature, error);
}

bool VerifyRsaMd5(std::string_view publicPem, std::string_view data, std::string_view signature, std::string& error) {
  PkeyPtr key = ReadPublicKey(publicPem);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    ERR_clear_error();
    error = "the public key is not a \"PUBLIC KEY\" PEM block of an RSA key";
    return false;
  }
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_md5(), nullptr, key.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
    error = "cannot start the check: " + LastOpenSslError();
    return false;
  }
  const int rc = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                  reinterpret_cast<const unsigned char*>(data.data()), data.size());
  ERR_clear_error();
  if (rc != 1) {
    error = "the signature does not match: the list was changed after signing, or signed with another key";
    return false;
  }
  return true;
}

int PublicKeyBits(std::string_view publicPem) {
  PkeyPtr key = ReadPublicKey(publicPem);
  ERR_clear_error();
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return 0;
  return EVP_PKEY_get_bits(key.get());
}

}  // namespace tarn::tools
