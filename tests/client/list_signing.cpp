#include "list_signing.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>
#include <stdexcept>


namespace tarn::test {
namespace {

struct Free {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  void operator()(BIO* b) const { BIO_free(b); }
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

}  // namespace

TestKey MakeTestKey() {
  std::unique_ptr<EVP_PKEY, Free> key(EVP_RSA_gen(2048));
  if (!key) throw std::runtime_error("EVP_RSA_gen");
  std::unique_ptr<BIO, Free> priv(BIO_new(BIO_s_mem())), pub(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  PEM_write_bio_PUBKEY(pub.get(), key.get());
  return {BioText(priv.get()), BioText(pub.get())};
}

std::string SignBytes(std::string_view bytes, const std::string& privatePem) {
  std::unique_ptr<BIO, Free> bio(BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
  std::unique_ptr<EVP_PKEY, Free> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  std::unique_ptr<EVP_MD_CTX, Free> ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_md5(), nullptr, key.get()) != 1)
    throw std::runtime_error("sign init");
  size_t length = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (EVP_DigestSign(ctx.get(), nullptr, &length, data, bytes.size()) != 1) throw std::runtime_error("sign size");
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, data, bytes.size()) != 1)
    throw std::runtime_error("sign");
  signature.resize(length);
  return signature;
}

std::string EncodeBase64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace tarn::test
