// A small value-or-error type. Every fallible operation in verdane returns one
// of these instead of throwing; the first error travels up to the driver.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace verdane {

// Wraps an error so that Result<T, E> can be built even when T and E are the
// same type (for example Result<std::string, std::string>).
template <typename E>
struct Err {
  E error;
};

template <typename E>
Err<std::decay_t<E>> make_err(E&& error) {
  return Err<std::decay_t<E>>{std::forward<E>(error)};
}

// Holds either a value of type T or an error of type E, never both.
template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
  template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Err<F> err) : data_(std::in_place_index<1>, std::move(err.error)) {}

  bool ok() const { return data_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Precondition: ok().
  T& value() & {
    assert(ok());
    return std::get<0>(data_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(data_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(data_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  // Precondition: !ok().
  E& error() & {
    assert(!ok());
    return std::get<1>(data_);
  }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(data_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(data_));
  }

 private:
  std::variant<T, E> data_;
};

// A Result that carries no value on success.
template <typename E>
using Status = Result<std::monostate, E>;

template <typename E>
Status<E> ok_status() {
  return Status<E>(std::monostate{});
}

}  // namespace verdane
