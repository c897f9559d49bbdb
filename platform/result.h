#pragma once
// A value or the reason there is none. Every function of the core that can
// fail for more than one reason returns one of these, its reason an enum of
// the layer that knows what went wrong; the player's sentence for a reason
// is made once, by the job that shows it. It sits with the platform so that
// the lowest layer speaks the same way as the jobs above it.
#include <optional>
#include <utility>

namespace tarn {

// The reason of a failed Result, as returned: `return Fail(FileError::Missing);`.
template <class E>
struct Failure {
  E reason;
};

template <class E>
constexpr Failure<E> Fail(E reason) {
  return {reason};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value is a success
  Result(Failure<E> failure) : reason_(failure.reason) {}  // NOLINT

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }

  // Only after ok().
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T& operator*() const& { return *value_; }
  const T* operator->() const { return &*value_; }

  T value_or(T fallback) const& { return ok() ? *value_ : std::move(fallback); }

  // Only after !ok().
  E reason() const { return reason_; }

 private:
  std::optional<T> value_;
  E reason_{};
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Failure<E> failure) : failed_(true), reason_(failure.reason) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  E reason() const { return reason_; }

 private:
  bool failed_ = false;
  E reason_{};
};

}  // namespace tarn
