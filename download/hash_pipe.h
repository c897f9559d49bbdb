#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/crypto.h"

namespace tarn {

// A large file's MD5 on a thread of its own, so that hashing (one core's
// work per stream) overlaps receiving and writing instead of adding to them.
// The bytes are copied in order into a bounded queue; the sum is the same
// as hashing them in place.
class HashPipe {
 public:
  explicit HashPipe(Md5Stream stream);
  ~HashPipe();
  HashPipe(const HashPipe&) = delete;
  HashPipe& operator=(const HashPipe&) = delete;

  void Feed(std::string_view bytes);
  bool Finish(Md5Digest& digest);

 private:
  static constexpr size_t kPipeBytes = 16u << 20;

  void Close();
  void Loop();

  Md5Stream stream_;  // the thread's alone until it is joined
  std::mutex lock_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<std::string> queue_;  // guarded by lock_
  std::vector<std::string> spare_;  // guarded by lock_: hashed pieces, for reuse
  size_t queuedBytes_ = 0;         // guarded by lock_
  bool closed_ = false;            // guarded by lock_
  std::thread thread_;
};

}  // namespace tarn
