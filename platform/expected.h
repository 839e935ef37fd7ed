#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace fenwright {

// Marks a value as the error of an Expected, where it could pass for the
// value itself (both strings, say).
template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return {std::forward<E>(error)};
}

// A value, or the error why there is none: by default one line a user can
// read. Copies when T and E copy; moves otherwise. The subset of C++23's
// std::expected that this code uses, spelled the same where it can be.
template <class T, class E = std::string>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  template <class G>
    requires std::is_constructible_v<E, G>
  Expected(Unexpected<G> error)  // NOLINT: implicit
      : state_(std::in_place_index<1>, std::move(error.error)) {}
  // An error type that cannot be mistaken for the value converts by itself.
  Expected(E error)  // NOLINT: implicit
    requires(!std::is_same_v<T, E>)
      : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Only when !ok().
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace fenwright
