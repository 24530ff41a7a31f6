#pragma once

// How code of this project reports a failure: a value that holds either the
// result or the reason it could not be had, in words fit for the user's log
// (what was tried, on which path, and the system's reason). Ports that mirror a
// macOS call keep that call's own shape (a status, or a bool and a last failure).

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace sonarell {

struct Failure {
  std::string reason;
};

template <class T, class E = Failure>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

// A result with nothing to give back but success.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const E& error() const { return error_.value(); }

 private:
  std::optional<E> error_;
};

using Outcome = Result<void>;

}  // namespace sonarell
