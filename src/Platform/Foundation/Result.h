#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "varenstt/Platform/Error.h"

namespace varen {

// The outcome of an internal step that can fail: its value, or the error that kept it from
// being made. For steps whose callers pass the error on; public interfaces keep their own
// shapes.
template <class T, class E = Error>
class [[nodiscard]] Result {
  public:
    Result(T value) : content_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : content_(std::in_place_index<1>, std::move(error)) {}

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
    const E& error() const { return std::get<1>(content_); }

  private:
    std::variant<T, E> content_;
};

// A step with nothing to give but success.
template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    Result(E error) : error_(std::move(error)) {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    // Only when not ok().
    const E& error() const { return *error_; }

  private:
    std::optional<E> error_;
};

}  // namespace varen
