#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/secret_store.h"
#include "platform/linux/posix_io.h"
#include "platform/unique_handle.h"

namespace tarn {
namespace {

constexpr std::string_view kMagic = "TRS1";  // format marker of a sealed blob
constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr char kKeyFileName[] = "user.key";

// The key never lingers in freed memory.
struct Key {
  std::array<unsigned char, kKeyBytes> bytes{};
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

using Cipher = UniqueHandle<FreedBy<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;

// The key's own folder: made private when missing, and tightened when it
// is ours but open to others.
std::string KeyFolder() {
  const std::string folder = MakeUserStateFolder();
  if (folder.empty()) return {};
  struct stat st{};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return {};
  if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return {};
  return folder;
}

enum class KeyRead { Ok, Missing, Unusable };

// Accepts only a regular file of the right size that belongs to this user:
// anything else could be a key planted by someone else.
KeyRead ReadKey(const std::string& path, Key& key) {
  Fd f(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!f.ok()) return errno == ENOENT ? KeyRead::Missing : KeyRead::Unusable;
  struct stat st{};
  if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      st.st_size != static_cast<off_t>(kKeyBytes))
    return KeyRead::Unusable;
  size_t got = 0;
  while (got < kKeyBytes) {
    const ssize_t n = read(f.get(), key.bytes.data() + got, kKeyBytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return KeyRead::Unusable;
    got += static_cast<size_t>(n);
  }
  return KeyRead::Ok;
}

// Publishes a fresh key under its final name only when no key is there yet:
// the key is written whole to a private temporary file first, then linked
// into place, which fails when another process got there first. Whoever
// loses the race reads the winner's key, so every process ends with the
// same one.
bool CreateKey(const std::string& folder, const std::string& path) {
  Key fresh;
  if (RAND_bytes(fresh.bytes.data(), static_cast<int>(fresh.bytes.size())) != 1) return false;
  std::string temp = folder + "/.user.key.XXXXXX";
  Fd f(mkostemp(temp.data(), O_CLOEXEC));
  if (!f.ok()) return false;
  const std::string_view bytes(reinterpret_cast<const char*>(fresh.bytes.data()), fresh.bytes.size());
  const bool written = fchmod(f.get(), 0600) == 0 && WriteAll(f.get(), bytes) && fsync(f.get()) == 0;
  if (!written) {
    unlink(temp.c_str());
    return false;
  }
  int linked = link(temp.c_str(), path.c_str());
  if (linked != 0 && (errno == EPERM || errno == EOPNOTSUPP)) {
    // File systems without hard links still offer an exclusive rename.
    linked = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  }
  const int err = linked == 0 ? 0 : errno;
  unlink(temp.c_str());
  if (linked == 0) SyncFolder(folder);
  return linked == 0 || err == EEXIST;
}

bool LoadOrCreateKey(Key& key) {
  const std::string folder = KeyFolder();
  if (folder.empty()) return false;
  const std::string path = folder + "/" + kKeyFileName;
  switch (ReadKey(path, key)) {
    case KeyRead::Ok:
      return true;
    case KeyRead::Unusable:
      // A damaged or foreign key is left for the user to see: replacing it
      // would make every password sealed with the real one unreadable.
      return false;
    case KeyRead::Missing:
      break;
  }
  return CreateKey(folder, path) && ReadKey(path, key) == KeyRead::Ok;
}

const unsigned char* Bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

}  // namespace

bool ProtectForUser(std::string_view plain, std::string_view description, std::string& sealed) {
  sealed.clear();
  Key key;
  if (!LoadOrCreateKey(key)) return false;
  std::array<unsigned char, kNonceBytes> nonce{};
  if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) return false;

  Cipher ctx(EVP_CIPHER_CTX_new());
  if (!ctx.ok()) return false;
  std::string out(kMagic);
  out.append(reinterpret_cast<const char*>(nonce.data()), nonce.size());
  const size_t head = out.size();
  out.resize(head + plain.size() + kTagBytes);
  auto* cipherText = reinterpret_cast<unsigned char*>(out.data() + head);
  int len = 0, fin = 0;
  const bool ok =
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce.data()) == 1 &&
      EVP_EncryptUpdate(ctx.get(), nullptr, &len, Bytes(description), static_cast<int>(description.size())) == 1 &&
      EVP_EncryptUpdate(ctx.get(), cipherText, &len, Bytes(plain), static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx.get(), cipherText + len, &fin) == 1 && static_cast<size_t>(len + fin) == plain.size() &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), cipherText + plain.size()) == 1;
  if (!ok) return false;
  sealed = std::move(out);
  return true;
}

bool UnprotectForUser(std::string_view sealed, std::string_view description, std::string& plain) {
  plain.clear();
  if (sealed.size() < kMagic.size() + kNonceBytes + kTagBytes || sealed.substr(0, kMagic.size()) != kMagic)
    return false;
  Key key;
  if (!LoadOrCreateKey(key)) return false;
  const std::string_view nonce = sealed.substr(kMagic.size(), kNonceBytes);
  const std::string_view body = sealed.substr(kMagic.size() + kNonceBytes);
  const std::string_view cipherText = body.substr(0, body.size() - kTagBytes);
  std::string tag(body.substr(cipherText.size()));

  Cipher ctx(EVP_CIPHER_CTX_new());
  if (!ctx.ok()) return false;
  std::string out(cipherText.size(), '\0');
  auto* outBytes = reinterpret_cast<unsigned char*>(out.data());
  int len = 0, fin = 0;
  const bool ok =
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), Bytes(nonce)) == 1 &&
      EVP_DecryptUpdate(ctx.get(), nullptr, &len, Bytes(description), static_cast<int>(description.size())) == 1 &&
      EVP_DecryptUpdate(ctx.get(), outBytes, &len, Bytes(cipherText), static_cast<int>(cipherText.size())) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes), tag.data()) == 1 &&
      // The tag check happens here: a wrong key or any changed byte fails.
      EVP_DecryptFinal_ex(ctx.get(), outBytes + len, &fin) == 1;
  if (!ok) {
    OPENSSL_cleanse(out.data(), out.size());
    return false;
  }
  out.resize(static_cast<size_t>(len + fin));
  plain = std::move(out);
  return true;
}

}  // namespace tarn
