#include "python/entry.hpp"

#include "python/panic.hpp"

namespace marlinox::py {

void raise_at_boundary(PyErr error) {
    try {
        std::move(error).restore();
    } catch (const InternalFailure& failure) {
        // Raising failed (for example the PanicException class could not be
        // created); keep the interpreter's own exception if it left one.
        if (!PyErr_Occurred()) abort_at_boundary(failure.message());
    } catch (...) {
        if (!PyErr_Occurred()) abort_at_boundary(failure_without_message);
    }
    if (!PyErr_Occurred()) abort_at_boundary("no exception is set after raising an error");
}

PyObject* trampoline(FunctionBody body, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject* result = nullptr;
    std::optional<PyErr> error = catch_failures([&]() -> std::optional<PyErr> {
        Result<PyRef> outcome = body(self, args, nargs, kwnames);
        if (!outcome.ok()) return std::move(outcome).error();
        result = std::move(outcome).value().release();
        return std::nullopt;
    });
    if (!error) return result;
    raise_at_boundary(std::move(*error));
    return nullptr;
}

}  // namespace marlinox::py
