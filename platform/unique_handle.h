#pragma once
// One owner for every kind of C handle the backends hold (descriptors,
// kernel handles, library contexts): what differs between them is only
// the value's type, what "none" looks like and how to let one go, which a
// small traits record says. Internal to the backends: logic code never
// sees a handle.
#include <utility>

namespace tarn {

// Traits: `using Value = ...;`, `static Value None();` and
// `static bool Free(Value)` (false when the release itself failed).
// Optionally `static bool Valid(Value)` where more than one value means
// none (Win32's nullptr and INVALID_HANDLE_VALUE).
template <typename Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  UniqueHandle() = default;
  explicit UniqueHandle(Value value) : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Close();
      value_ = other.Release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Close(); }

  Value get() const { return value_; }
  explicit operator bool() const { return ok(); }
  bool ok() const {
    if constexpr (requires { Traits::Valid(value_); }) {
      return Traits::Valid(value_);
    } else {
      return value_ != Traits::None();
    }
  }

  // Lets the handle go now and tells whether that succeeded: for a file,
  // a failed close can be the first news of a failed write.
  bool Close() {
    const bool freed = !ok() || Traits::Free(value_);
    value_ = Traits::None();
    return freed;
  }

  // Hands the handle over; this owner holds none afterwards.
  Value Release() { return std::exchange(value_, Traits::None()); }

  // For calls that return a new handle through a pointer.
  Value* Out() {
    Close();
    return &value_;
  }

 private:
  Value value_ = Traits::None();
};

// Traits for a library object that one call frees and that cannot fail to
// be freed (OpenSSL's *_free), e.g. UniqueHandle<FreedBy<BIO, BIO_free>>.
template <typename T, auto FreeFn>
struct FreedBy {
  using Value = T*;
  static Value None() { return nullptr; }
  static bool Free(Value p) {
    FreeFn(p);
    return true;
  }
};

}  // namespace tarn
