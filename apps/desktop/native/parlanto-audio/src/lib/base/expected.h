#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace parlanto_audio {

// A value or an error, in the spirit of C++23's std::expected, which the
// toolchain we build with does not offer in C++20 mode.
template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return {std::forward<E>(error)};
}

template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  template <typename G>
  Expected(Unexpected<G> failure)  // NOLINT
      : storage_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return storage_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  E& error() & { return std::get<1>(storage_); }
  const E& error() const& { return std::get<1>(storage_); }
  E&& error() && { return std::get<1>(std::move(storage_)); }

 private:
  std::variant<T, E> storage_;
};

// Success without a value.
struct Ok {};

}  // namespace parlanto_audio
