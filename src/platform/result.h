#pragma once
// Outcomes as values: an operation returns its value or a short error code
// (one of the snake_case codes of ipc/error_codes.h). No exception crosses a
// module boundary.

#include <cassert>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

namespace velk {

using ErrorCode = std::string_view;  // always points at a string literal

struct Error {
  ErrorCode code;
};

inline Error fail(ErrorCode code) { return Error{code}; }

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Error e) : v_(e) {}                 // NOLINT(google-explicit-constructor)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  ErrorCode error() const { assert(!ok()); return std::get<1>(v_).code; }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error e) : error_(e.code) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  ErrorCode error() const { assert(!ok()); return *error_; }

 private:
  std::optional<ErrorCode> error_;
};

using Outcome = Result<void>;

}  // namespace velk
