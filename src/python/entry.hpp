// The call entry of every exported function: runs the function body and turns
// its PyErr, or an internal failure caught on the way, into a raised exception.
#pragma once

#include "python/result.hpp"

namespace marlinox::py {

using FunctionBody = Result<PyRef> (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

PyObject* trampoline(FunctionBody body, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

// Runs `body` as a catch point: its PyErr, or the PanicException for an
// internal failure, is returned for raising.
template <class Body>
std::optional<PyErr> catch_failures(Body&& body);

// Raises `error`; if that fails too, leaves whatever the interpreter raised.
void raise_at_boundary(PyErr error);

template <FunctionBody Body>
PyObject* fastcall_cfunction_with_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return trampoline(Body, self, args, nargs, kwnames);
}

}  // namespace marlinox::py

#include "python/entry_impl.hpp"
