// One way to say "a value, or why there is none": every fallible call in the core and its
// ports returns a Result instead of a bool beside a `why` out-parameter or a last-error
// side channel. The message is for people (a log line, a message box's details).
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestrune {

// A failure and what to tell about it. Converts to any Result.
struct Error {
    std::string message;
};

inline Error fail(std::string message) {
    return Error{std::move(message)};
}

// `E` is Error, or a richer failure with a `message` where callers act on its kind.
template <class T, class E = Error>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    // Only when !ok().
    const E& failure() const { return std::get<1>(state_); }
    const std::string& error() const { return failure().message; }

  private:
    std::variant<T, E> state_;
};

// Success with nothing to hand back.
template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    Result(E error) : failed_(true), failure_(std::move(error)) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const E& failure() const { return failure_; }
    const std::string& error() const { return failure_.message; }

  private:
    bool failed_ = false;
    E failure_{};
};

using Status = Result<void>;

}  // namespace kestrune
