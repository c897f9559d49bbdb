#include "download/hash_pipe.h"

#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/thread.h"

namespace tarn {

HashPipe::HashPipe(Md5Stream stream) : stream_(std::move(stream)) {
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (const std::system_error&) {
    // No thread: the bytes are hashed on the caller's thread instead.
  }
}

HashPipe::~HashPipe() { Close(); }

void HashPipe::Feed(std::string_view bytes) {
  if (!thread_.joinable()) {
    stream_.Update(bytes);
    return;
  }
  std::unique_lock lock(lock_);
  // The receiver may run ahead of the hash by kPipeBytes at most.
  room_.wait(lock, [this] { return queuedBytes_ < kPipeBytes; });
  // Buffers go round: a fresh large allocation per piece would cost
  // more in page faults than the copy itself.
  std::string copy;
  if (!spare_.empty()) {
    copy = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  copy.assign(bytes);
  lock.lock();
  queuedBytes_ += copy.size();
  queue_.push_back(std::move(copy));
  lock.unlock();
  ready_.notify_one();
}

bool HashPipe::Finish(Md5Digest& digest) {
  Close();
  return stream_.Finish(digest);
}

void HashPipe::Close() {
  {
    std::lock_guard lock(lock_);
    closed_ = true;
  }
  ready_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void HashPipe::Loop() {
  std::unique_lock lock(lock_);
  for (;;) {
    ready_.wait(lock, [this] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) break;
    std::string piece = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    stream_.Update(piece);
    lock.lock();
    queuedBytes_ -= piece.size();
    spare_.push_back(std::move(piece));
    room_.notify_one();
  }
  lock.unlock();
  ReleaseThreadState();
}

}  // namespace tarn
