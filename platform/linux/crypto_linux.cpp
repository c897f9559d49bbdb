#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <algorithm>
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

// The digest md of the whole regular file at path into out (size bytes).
bool DigestOfFile(const std::string& path, const EVP_MD* md, unsigned char* out, size_t size) {
  const ClearErrorsOnExit clear;
  Fd file(OpenRegularFile(path, O_RDONLY));
  if (!file.ok()) return false;
  // The kernel reads further ahead for a file announced as sequential,
  // which is most of the speed of hashing a whole client.
  posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;

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
  if (EVP_DigestFinal_ex(ctx.get(), out, &length) != 1) return false;
  return length == size;
}

// Whether signature is an RSA PKCS #1 v1.5 signature with md over data by
// the key of publicKeyPem.
bool VerifyRsaSignature(const EVP_MD* md, std::string_view publicKeyPem, std::string_view data,
                        std::string_view signature) {
  if (publicKeyPem.empty() || signature.empty()) return false;
  const ClearErrorsOnExit clear;
  std::unique_ptr<BIO, FreeBio> bio(BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())));
  if (!bio) return false;
  std::unique_ptr<EVP_PKEY, FreePkey> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return false;

  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  // An RSA key verifies with PKCS #1 v1.5 padding unless told otherwise,
  // which is the scheme the publisher signs with.
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

}  // namespace

bool Md5OfFile(const std::string& path, Md5Digest& digest) {
  return DigestOfFile(path, EVP_md5(), digest.data(), digest.size());
}

bool Sha256OfFile(const std::string& path, Sha256Digest& digest) {
  return DigestOfFile(path, EVP_sha256(), digest.data(), digest.size());
}

struct Md5Stream::State {
  MdCtx ctx{EVP_MD_CTX_new()};
  bool failed = false;
};

Md5Stream::Md5Stream() : state_(new (std::nothrow) State) {
  if (!state_) return;
  const ClearErrorsOnExit clear;
  state_->failed = !state_->ctx || EVP_DigestInit_ex(state_->ctx.get(), EVP_md5(), nullptr) != 1;
}

Md5Stream::~Md5Stream() = default;
Md5Stream::Md5Stream(Md5Stream&& other) noexcept = default;
Md5Stream& Md5Stream::operator=(Md5Stream&& other) noexcept = default;

void Md5Stream::Update(std::string_view bytes) {
  if (!state_ || state_->failed || bytes.empty()) return;
  if (EVP_DigestUpdate(state_->ctx.get(), bytes.data(), bytes.size()) != 1) {
    ERR_clear_error();
    state_->failed = true;
  }
}

bool Md5Stream::UpdateFromFile(const std::string& path, uint64_t length) {
  if (!state_ || state_->failed) return false;
  state_->failed = true;  // until every byte is in
  Fd file(OpenRegularFile(path, O_RDONLY | O_NOFOLLOW));
  if (!file.ok()) return false;
  posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadPiece]);
  if (!buffer) return false;
  state_->failed = false;
  while (length > 0 && !state_->failed) {
    const ssize_t n = read(file.get(), buffer.get(), static_cast<size_t>(std::min<uint64_t>(length, kReadPiece)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      state_->failed = true;
      break;
    }
    Update(std::string_view(buffer.get(), static_cast<size_t>(n)));
    length -= static_cast<uint64_t>(n);
  }
  return !state_->failed;
}

bool Md5Stream::Finish(Md5Digest& digest) {
  if (!state_ || state_->failed) return false;
  const ClearErrorsOnExit clear;
  state_->failed = true;  // spent
  unsigned int length = 0;
  return EVP_DigestFinal_ex(state_->ctx.get(), digest.data(), &length) == 1 && length == digest.size();
}

bool Sha256Of(std::string_view bytes, Sha256Digest& digest) {
  const ClearErrorsOnExit clear;
  unsigned int length = 0;
  return EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) == 1 &&
         length == digest.size();
}

bool VerifyRsaMd5Signature(std::string_view publicKeyPem, std::string_view data, std::string_view signature) {
  return VerifyRsaSignature(EVP_md5(), publicKeyPem, data, signature);
}

bool VerifyRsaSha256Signature(std::string_view publicKeyPem, std::string_view data, std::string_view signature) {
  return VerifyRsaSignature(EVP_sha256(), publicKeyPem, data, signature);
}

}  // namespace tarn
