// How failures travel through the binding.
//
// An ordinary failure (a bad argument, an exception raised by the Python code
// the module calls) is a PyErr, returned as the error of a Result<T>: callers
// release what they hold and pass the first PyErr on unchanged.
//
// Two failures are C++ exceptions, because they must unwind through native
// code that knows nothing of Python (the kernels, the worker pool):
// InternalFailure, started by fail() when the module cannot go on, and
// std::bad_alloc when native memory runs out. Nothing else is thrown: a
// library error that can arise is turned into one of these where it arises.
// A PyErr becomes an InternalFailure only where the module cannot go on
// without the value (fail() with describe() of the error).
//
// Both are caught by catch_failures (entry.hpp), around the body of each call
// entry and the module body, which turns an InternalFailure into a
// PanicException and std::bad_alloc into MemoryError; the worker pool carries
// them from its threads to the calling one on the way. Elsewhere only a
// reservation that may fail without harm catches its std::bad_alloc. What
// fails while the caught error is raised has no catch point left:
// raise_at_boundary keeps the interpreter's own exception, or aborts.
#pragma once

#include <utility>
#include <variant>

#include "python/pyerr.hpp"

namespace marlinox::py {

struct Ok {};

// The value of an operation, or the PyErr that stopped it.
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
