// PyErr: a Python exception that has not been raised yet. Lazy (a class and
// what is needed to build its value, turned into Python objects only when
// raised) or normalized (an exception object taken from the interpreter).
// Owned by one holder; created, inspected and dropped only with the
// interpreter lock held.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "python/pyref.hpp"

namespace marlinox::py {

class PyErr {
public:
    // An exception class with a message text as its single argument.
    struct LazyMessage {
        PyRef type;
        std::string message;
    };
    // PanicException with the message as its single argument; the class is
    // looked up (and created when missing) only when the error is raised.
    struct LazyPanic {
        std::string message;
    };
    // TypeError for an object that is not an instance of `target`; the
    // message is composed only when the exception is built. Without a target
    // class, `target_name` names it.
    struct LazyCast {
        PyRef object;
        PyRef target;
        std::string target_name;
    };
    using Lazy = std::variant<LazyMessage, LazyPanic, LazyCast>;

    static PyErr new_lazy(PyObject* type, std::string message);
    static PyErr panic(std::string message);
    static PyErr cast(PyObject* object, PyObject* target);
    static PyErr cast(PyObject* object, std::string target_name);
    static PyErr normalized(PyRef exception);

    // The raised exception, cleared from the interpreter; nothing when none is
    // raised. Not only a getter: a PanicException coming back from Python code
    // resumes the internal failure it stands for, so take() (and fetch() and
    // take_unless_ordinary(), which call it) may throw InternalFailure.
    static std::optional<PyErr> take();
    // Like take(), but a missing exception becomes a SystemError.
    static PyErr fetch();
    // For errors that a hint or a message may drop: takes the raised exception
    // and drops it if it is an ordinary Exception, but returns anything else
    // (KeyboardInterrupt, SystemExit, ...), which must propagate.
    static std::optional<PyErr> take_unless_ordinary();

    PyErr(PyErr&&) noexcept;
    PyErr& operator=(PyErr&&) noexcept;
    ~PyErr();

    // Raises the error in the interpreter, consuming it. If the exception's
    // value cannot be built (the interpreter is out of memory, or reading a
    // name for its message raised KeyboardInterrupt or the like), the
    // interpreter's own exception is left raised instead.
    void restore() &&;
    // The exception object (borrowed), built at most once.
    PyObject* materialise();
    // An instance of Exception, as opposed to KeyboardInterrupt, SystemExit
    // and the other direct subclasses of BaseException.
    bool is_ordinary();
    std::optional<PyErr> cause();
    void set_cause(std::optional<PyErr> cause);

private:
    struct State;
    explicit PyErr(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

// "TypeName: message" for diagnostics; never fails.
std::string describe(PyErr& error);

}  // namespace marlinox::py
