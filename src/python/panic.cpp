#include "python/panic.hpp"

#include <cstdlib>

#include "failure/fault_injection.hpp"
#include "failure/internal_failure.hpp"
#include "python/objects.hpp"
#include "python/once.hpp"

namespace marlinox::py {
namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when marlinox's native code fails while called from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

GilOnceCell panic_cell;

}  // namespace

Result<PyObject*> try_panic_exception_class() {
    std::optional<PyErr> failure;
    PyObject* type = panic_cell.get_or_create([&]() -> PyObject* {
        PyObject* created = fault_injection::active(fault_injection::Fault::panic_class)
                                ? (PyErr_NoMemory(), nullptr)
                                : PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                            PyExc_BaseException, nullptr);
        if (!created) {
            // Taken directly: comparing with the class being created would recurse.
            PyRef raised = PyRef::steal(PyErr_GetRaisedException());
            failure = raised ? PyErr::normalized(std::move(raised))
                             : PyErr::new_lazy(PyExc_SystemError,
                                               "attempted to fetch exception but none was set");
        }
        return created;
    });
    if (type) return type;
    return std::move(*failure);
}

PyObject* panic_exception_class() {
    auto type = try_panic_exception_class();
    if (type.ok()) return type.value();
    PyErr error = std::move(type).error();
    fail("Failed to initialize new exception type.: " + describe(error));
}

void resume_panic_from_python(PyRef exception) {
    std::string message;
    PyRef text = PyRef::steal(PyObject_Str(exception.get()));
    if (text) {
        message = utf8_lossy(text.get());
    } else {
        PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
        message = "panic from Python code (the PanicException could not be converted to text)";
    }
    write_stderr(
        "marlinox: a PanicException was raised by Python code called from native code; "
        "resuming the internal failure it stands for\n"
        "Python stack trace below:\n");
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    resume_failure(std::move(message));
}

void abort_at_boundary(const std::string& message) {
    write_stderr("marlinox: fatal: an internal failure reached the boundary between the "
                 "interpreter and the module and no exception could be raised for it: " +
                 message + "\n");
    std::abort();
}

}  // namespace marlinox::py
