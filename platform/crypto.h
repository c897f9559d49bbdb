#pragma once
// Digests and signature checks over the platform's crypto library. Only
// plain bytes cross this header, so no library type reaches the logic.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tarn {

using Md5Digest = std::array<unsigned char, 16>;

// MD5 of a whole file, read front to back in 1 MiB pieces through a single
// buffer with a sequential-read hint, so a large pack archive is never held
// in memory. False when the file cannot be opened or is not a regular file
// (a FIFO or device of that name is never waited on), a read fails part-way
// (a digest of the bytes read so far would describe a file that does not
// exist), or the digest cannot be computed; digest is then unspecified.
bool Md5OfFile(const std::string& path, Md5Digest& digest);

// A digest as 32 lower-case hex digits, the way lists write checksums.
std::string Md5DigestHex(const Md5Digest& digest);

// The MD5 of the file as 32 lower-case hex digits. False with hex empty
// when the file is not a regular file or cannot be opened or read to its
// end.
bool FileMd5Hex(const std::string& path, std::string& hex);

// MD5 of bytes that arrive piece by piece, such as a download, so the
// finished file never has to be read back. A step that fails spoils the
// stream: every later call is ignored and Finish says false.
class Md5Stream {
 public:
  Md5Stream();
  ~Md5Stream();
  Md5Stream(Md5Stream&& other) noexcept;
  Md5Stream& operator=(Md5Stream&& other) noexcept;
  Md5Stream(const Md5Stream&) = delete;
  Md5Stream& operator=(const Md5Stream&) = delete;

  void Update(std::string_view bytes);
  // Feeds the first length bytes of the regular file at path (a resumed
  // download's earlier part). False, and the stream spoilt, when the file
  // cannot be read or holds fewer bytes.
  bool UpdateFromFile(const std::string& path, uint64_t length);
  // The digest of everything fed so far; false when any step failed. The
  // stream is spent afterwards.
  bool Finish(Md5Digest& digest);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

using Sha256Digest = std::array<unsigned char, 32>;

// SHA-256 of bytes held in memory (one block of a file); false when the
// digest cannot be computed.
bool Sha256Of(std::string_view bytes, Sha256Digest& digest);

// Whether signature is an RSASSA-PKCS1-v1_5 signature with MD5 over data,
// checked with the RSA key of publicKeyPem (a "PUBLIC KEY" PEM block, that
// is an X.509 SubjectPublicKeyInfo). The signature is in PKCS #1 order, most
// significant byte first. False for every failure alike: key text that does
// not decode, a key that is not RSA, a signature of the wrong length, or a
// mismatch.
bool VerifyRsaMd5Signature(std::string_view publicKeyPem, std::string_view data, std::string_view signature);

// The same check with SHA-256 as the digest: for documents whose format is
// our own (the launcher's release record), where MD5's weakness need not be
// inherited.
bool VerifyRsaSha256Signature(std::string_view publicKeyPem, std::string_view data, std::string_view signature);

// SHA-256 of a whole regular file, read in pieces (a release file of many
// megabytes is never held whole). False as Md5OfFile is.
bool Sha256OfFile(const std::string& path, Sha256Digest& digest);

// A digest as 64 lower-case hex digits, the way release records write it.
std::string Sha256DigestHex(const Sha256Digest& digest);

}  // namespace tarn
