// Result<T>: the value of an operation that can fail in the ordinary way, or
// the PyErr that stopped it. Callers pass the first PyErr on unchanged.
#pragma once

#include <utility>
#include <variant>

#include "python/pyerr.hpp"

namespace marlinox::py {

struct Ok {};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(PyErr error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() & noexcept { return *std::get_if<0>(&state_); }
    T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    PyErr&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

private:
    std::variant<T, PyErr> state_;
};

}  // namespace marlinox::py

// Evaluates `expr` (a Result); on error returns the PyErr from the enclosing
// function, otherwise binds the value to `name`.
#define MX_TRY(name, expr)                                        \
    auto name##_result_ = (expr);                                 \
    if (!name##_result_.ok()) return std::move(name##_result_).error(); \
    auto name = std::move(name##_result_).value()

// Evaluates `expr` (a Result<Ok>) and returns its PyErr, if any.
#define MX_CHECK(expr)                                                   \
    do {                                                                 \
        auto check_result_ = (expr);                                     \
        if (!check_result_.ok()) return std::move(check_result_).error(); \
    } while (0)
