#include "python/pyerr.hpp"

#include "failure/fault_injection.hpp"
#include "failure/internal_failure.hpp"
#include "python/objects.hpp"
#include "python/panic.hpp"
#include "python/result.hpp"

namespace marlinox::py {

struct PyErr::State {
    std::variant<Lazy, PyRef> form;  // lazy, or the normalized exception object
};

PyErr::PyErr(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
PyErr::PyErr(PyErr&&) noexcept = default;
PyErr& PyErr::operator=(PyErr&&) noexcept = default;
PyErr::~PyErr() = default;

namespace {

Result<std::string> qualified_name(PyObject* type) {
    PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (!name) {
        if (auto error = PyErr::take_unless_ordinary()) return std::move(*error);
        return std::string("<failed to extract type name>");
    }
    return utf8_lossy(name.get());
}

Result<std::string> cast_message(const PyErr::LazyCast& cast) {
    std::string target_name = cast.target_name;
    if (cast.target) {
        MX_TRY(name, qualified_name(cast.target.get()));
        target_name = std::move(name);
    }
    if (cast.object.get() == Py_None) return "'None' is not an instance of '" + target_name + "'";
    MX_TRY(type_name, qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(cast.object.get()))));
    return "'" + type_name + "' object is not an instance of '" + target_name + "'";
}

// Builds the Python value of a lazy error. An empty result means the
// interpreter could not build it and has its own exception raised.
struct Produced {
    PyRef type;
    PyRef value;
};

PyRef message_object(const std::string& message) {
    if (fault_injection::active(fault_injection::Fault::lazy_message)) return PyRef::steal(PyErr_NoMemory());
    return PyRef::steal(PyUnicode_FromStringAndSize(message.data(),
                                                    static_cast<Py_ssize_t>(message.size())));
}

std::optional<Produced> produce(PyErr::Lazy lazy) {
    struct Visitor {
        std::optional<Produced> operator()(PyErr::LazyMessage& e) const {
            PyRef value = message_object(e.message);
            if (!value) return std::nullopt;
            return Produced{std::move(e.type), std::move(value)};
        }
        std::optional<Produced> operator()(PyErr::LazyCast& e) const {
            Result<std::string> message = cast_message(e);
            if (!message.ok()) {
                std::move(message).error().restore();
                return std::nullopt;
            }
            PyRef value = message_object(message.value());
            if (!value) return std::nullopt;
            return Produced{PyRef::borrow(PyExc_TypeError), std::move(value)};
        }
        std::optional<Produced> operator()(PyErr::LazyPanic& e) const {
            auto type = try_panic_exception_class();
            if (!type.ok()) {
                // The class cannot be created: raise the reason instead.
                std::move(type).error().restore();
                return std::nullopt;
            }
            PyRef message = message_object(e.message);
            if (!message) return std::nullopt;
            PyRef args = PyRef::steal(PyTuple_New(1));
            if (!args) return std::nullopt;
            PyTuple_SET_ITEM(args.get(), 0, message.release());
            return Produced{PyRef::borrow(type.value()), std::move(args)};
        }
    };
    return std::visit(Visitor{}, lazy);
}

}  // namespace

PyErr PyErr::new_lazy(PyObject* type, std::string message) {
    auto state = std::make_unique<State>();
    state->form = Lazy{LazyMessage{PyRef::borrow(type), std::move(message)}};
    return PyErr(std::move(state));
}

PyErr PyErr::panic(std::string message) {
    auto state = std::make_unique<State>();
    state->form = Lazy{LazyPanic{std::move(message)}};
    return PyErr(std::move(state));
}

PyErr PyErr::cast(PyObject* object, PyObject* target) {
    auto state = std::make_unique<State>();
    state->form = Lazy{LazyCast{PyRef::borrow(object), PyRef::borrow(target), {}}};
    return PyErr(std::move(state));
}

PyErr PyErr::cast(PyObject* object, std::string target_name) {
    auto state = std::make_unique<State>();
    state->form = Lazy{LazyCast{PyRef::borrow(object), PyRef(), std::move(target_name)}};
    return PyErr(std::move(state));
}

PyErr PyErr::normalized(PyRef exception) {
    auto state = std::make_unique<State>();
    state->form = std::move(exception);
    return PyErr(std::move(state));
}

std::optional<PyErr> PyErr::take() {
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (!raised) return std::nullopt;
    if (reinterpret_cast<PyObject*>(Py_TYPE(raised.get())) == panic_exception_class())
        resume_panic_from_python(std::move(raised));
    return normalized(std::move(raised));
}

std::optional<PyErr> PyErr::take_unless_ordinary() {
    std::optional<PyErr> error = take();
    if (error && error->is_ordinary()) return std::nullopt;
    return error;
}

PyErr PyErr::fetch() {
    if (auto error = take()) return std::move(*error);
    return new_lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PyErr::restore() && {
    std::unique_ptr<State> state = std::move(state_);
    if (auto* exception = std::get_if<PyRef>(&state->form)) {
        PyErr_SetRaisedException(exception->release());
        return;
    }
    std::optional<Produced> produced = produce(std::move(std::get<Lazy>(state->form)));
    if (!produced) return;  // the interpreter's own exception stays raised
    if (PyExceptionClass_Check(produced->type.get()))
        PyErr_SetObject(produced->type.get(), produced->value.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

PyObject* PyErr::materialise() {
    // One holder, under the interpreter lock: nobody else can be changing it.
    if (auto* exception = std::get_if<PyRef>(&state_->form)) return exception->get();
    auto lazy_state = std::make_unique<State>();
    lazy_state->form = std::move(std::get<Lazy>(state_->form));
    PyErr(std::move(lazy_state)).restore();
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (!raised) fail("exception missing after writing to the interpreter");
    state_->form = std::move(raised);
    return std::get<PyRef>(state_->form).get();
}

bool PyErr::is_ordinary() {
    return PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(materialise())),
                                       PyExc_Exception) != 0;
}

std::optional<PyErr> PyErr::cause() {
    PyRef cause = PyRef::steal(PyException_GetCause(materialise()));
    if (!cause) return std::nullopt;
    return normalized(std::move(cause));
}

void PyErr::set_cause(std::optional<PyErr> cause) {
    PyObject* exception = materialise();
    // PyException_SetCause steals the reference and marks the context suppressed.
    PyException_SetCause(exception, cause ? Py_NewRef(cause->materialise()) : nullptr);
}

std::string describe(PyErr& error) {
    PyObject* exception = error.materialise();
    // A diagnostic has nowhere to send an interrupt raised while it is
    // composed: the unraisable hook reports it.
    auto or_placeholder = [exception](Result<std::string> text) {
        if (text.ok()) return std::move(text).value();
        std::move(text).error().restore();
        PyErr_WriteUnraisable(exception);
        return std::string("<unprintable>");
    };
    std::string type_name = or_placeholder(qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(exception))));
    return type_name + ": " + or_placeholder(display_text(exception));
}

}  // namespace marlinox::py
