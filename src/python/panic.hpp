// PanicException: how internal failures reach Python.
#pragma once

#include <string>

#include "python/result.hpp"

namespace marlinox::py {

// The class "pyo3_runtime.PanicException", created on first need; an internal
// failure when it cannot be created.
PyObject* panic_exception_class();
// Same, but returns the creation error instead of failing.
Result<PyObject*> try_panic_exception_class();

// Handles an exception of exactly type PanicException taken from the
// interpreter: prints it with its traceback, then resumes the internal failure
// it stands for (throws).
[[noreturn]] void resume_panic_from_python(PyRef exception);

// Writes the diagnostic for a failure that reached the boundary between the
// interpreter and the module and could not be raised, then aborts.
[[noreturn]] void abort_at_boundary(const std::string& message);

}  // namespace marlinox::py
