#pragma once

#include <utility>
#include <variant>

namespace quorvel {

// The value of a step that has no value of its own: success carries nothing.
struct Unit {
  friend constexpr bool operator==(Unit, Unit) noexcept { return true; }
};

// Either a value or an error, never both. The codec returns errors as values;
// a caller tests the result with `ok()` (or `operator bool`) before taking
// `value()` or `error()`. Taking the side that is not held is a logic error
// that std::get reports by throwing, never by reading the wrong member.
template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

}  // namespace quorvel

// Evaluates `expr` (a Result); on error returns that error from the enclosing
// function, otherwise moves the value into a new variable `name`.
#define QUORVEL_TRY_ASSIGN(name, expr)                                \
  auto name##_result_ = (expr);                                       \
  if (!name##_result_.ok()) return std::move(name##_result_).error(); \
  auto name = std::move(name##_result_).value()

// Evaluates `expr` (a Result whose value is ignored) and returns its error, if any.
#define QUORVEL_TRY(expr)                                                         \
  do {                                                                            \
    auto quorvel_try_result_ = (expr);                                            \
    if (!quorvel_try_result_.ok()) return std::move(quorvel_try_result_).error(); \
  } while (false)
