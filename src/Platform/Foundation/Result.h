#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "varenstt/Platform/Error.h"

namespace varen {

// The outcome of an internal step that can fail: its value, or the error that kept it from
// being made. For steps whose callers pass the error on; public interfaces keep their own
// shapes.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : content_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : content_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return content_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    T& value() { return std::get<0>(content_); }
    const T& value() const { return std::get<0>(content_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // Only when not ok().
    const Error& error() const { return std::get<1>(content_); }

  private:
    std::variant<T, Error> content_;
};

// A step with nothing to give but success.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    // Only when not ok().
    const Error& error() const { return *error_; }

  private:
    std::optional<Error> error_;
};

}  // namespace varen
