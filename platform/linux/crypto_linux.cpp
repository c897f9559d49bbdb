#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/crypto.h"
#include "platform/linux/posix_io.h"

namespace tarn {
namespace {

constexpr size_t kReadPiece = 1 << 20;

struct FreeMdCtx {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct FreeBio {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct FreePkey {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

using MdCtx = std::unique_ptr<EVP_MD_CTX, FreeMdCtx>;

// OpenSSL queues an error on the calling thread for every failed step and
// keeps it until someone clears it. Failures here are answers, not errors
// to report, so the queue is emptied on the way out; otherwise a stale
// entry would surface in the next OpenSSL user on this thread (libcurl).
struct ClearErrorsOnExit {
  ClearErrorsOnExit() = default;
  ClearErrorsOnExit(const ClearErrorsOnExit&) = delete;
  ClearErrorsOnExit& operator=(const ClearErrorsOnExit&) = delete;
  ~ClearErrorsOnExit() { ERR_clear_error(); }
};

}  // namespace

bool Md5OfFile(const std::string& path, Md5Digest& digest) {
  const ClearErrorsOnExit clear;
  Fd file(OpenRegularFile(path, O_RDONLY));
  if (!file.ok()) return false;
  // The kernel reads further ahead for a file announced as sequential,
  // which is most of the speed of hashing a whole client.
  posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return false;

  const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kReadPiece]);
  if (!buffer) return false;
  for (;;) {
    const ssize_t n = read(file.get(), buffer.get(), kReadPiece);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (EVP_DigestUpdate(ctx.get(), buffer.get(), static_cast<size_t>(n)) != 1) return false;
  }
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1) return false;
  return length == digest.size();
}

bool VerifyRsaMd5Signature(std::string_view publicKeyPem, std::string_view data, std::string_view signature) {
  if (publicKeyPem.empty() || signature.empty()) return false;
  const ClearErrorsOnExit clear;
  std::unique_ptr<BIO, FreeBio> bio(BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())));
  if (!bio) return false;
  std::unique_ptr<EVP_PKEY, FreePkey> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return false;

  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  // An RSA key verifies with PKCS #1 v1.5 padding unless told otherwise,
  // which is the scheme the list publisher signs with.
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_md5(), nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

}  // namespace tarn
