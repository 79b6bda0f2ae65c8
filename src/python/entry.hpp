// The call entry of every exported function: runs the function body and turns
// its PyErr, or an internal failure caught on the way, into a raised exception.
#pragma once

#include <new>
#include <optional>

#include "failure/internal_failure.hpp"
#include "python/result.hpp"

namespace marlinox::py {

using FunctionBody = Result<PyRef> (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

PyObject* trampoline(FunctionBody body, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

// Raises `error`; if that fails too, leaves whatever the interpreter raised.
void raise_at_boundary(PyErr error);

inline constexpr const char* failure_without_message =
    "marlinox native code failed with an error that carries no message";

// Runs `body` as a catch point: its PyErr, or the PanicException for an
// internal failure, is returned for raising.
template <class Body>
std::optional<PyErr> catch_failures(Body&& body) {
    try {
        return body();
    } catch (const InternalFailure& failure) {
        return PyErr::panic(failure.message());
    } catch (const std::bad_alloc&) {
        // Native memory ran out: report it the way Python reports its own.
        PyErr_NoMemory();
        return PyErr::fetch();
    } catch (...) {
        return PyErr::panic(failure_without_message);
    }
}

template <FunctionBody Body>
PyObject* fastcall_cfunction_with_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return trampoline(Body, self, args, nargs, kwnames);
}

}  // namespace marlinox::py
