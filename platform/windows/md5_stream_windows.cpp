#include <windows.h>
// windows.h first: wincrypt.h builds on its types.
#include <wincrypt.h>

#include <algorithm>
#include <new>
#include <vector>

#include "platform/crypto.h"
#include "platform/windows/handle.h"
#include "platform/windows/wide.h"

namespace tarn {

constexpr DWORD kStreamReadPiece = 1 << 20;

struct Md5Stream::State {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  bool failed = false;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (hash) CryptDestroyHash(hash);
    if (provider) CryptReleaseContext(provider, 0);
  }
};

Md5Stream::Md5Stream() : state_(new (std::nothrow) State) {
  if (!state_) return;
  state_->failed = !CryptAcquireContextW(&state_->provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ||
                   !CryptCreateHash(state_->provider, CALG_MD5, 0, 0, &state_->hash);
}

Md5Stream::~Md5Stream() = default;
Md5Stream::Md5Stream(Md5Stream&& other) noexcept = default;
Md5Stream& Md5Stream::operator=(Md5Stream&& other) noexcept = default;

void Md5Stream::Update(std::string_view bytes) {
  if (!state_ || state_->failed) return;
  // CryptHashData takes a DWORD count; a larger piece goes in slices.
  while (!bytes.empty()) {
    const DWORD n = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    if (!CryptHashData(state_->hash, reinterpret_cast<const BYTE*>(bytes.data()), n, 0)) {
      state_->failed = true;
      return;
    }
    bytes.remove_prefix(n);
  }
}

bool Md5Stream::UpdateFromFile(const std::string& path, uint64_t length) {
  if (!state_ || state_->failed) return false;
  state_->failed = true;  // until every byte is in
  Handle file(CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.ok() || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  std::vector<BYTE> piece(kStreamReadPiece);
  state_->failed = false;
  while (length > 0 && !state_->failed) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>(length, kStreamReadPiece));
    if (!ReadFile(file.get(), piece.data(), want, &n, nullptr) || n == 0) {
      state_->failed = true;
      break;
    }
    Update(std::string_view(reinterpret_cast<const char*>(piece.data()), n));
    length -= n;
  }
  return !state_->failed;
}

bool Md5Stream::Finish(Md5Digest& digest) {
  if (!state_ || state_->failed) return false;
  state_->failed = true;  // spent
  DWORD size = static_cast<DWORD>(digest.size());
  return CryptGetHashParam(state_->hash, HP_HASHVAL, digest.data(), &size, 0) && size == digest.size();
}

}  // namespace tarn
