#include "python/objects.hpp"

#include "failure/utf8.hpp"
#include "failure/internal_failure.hpp"
#include "python/once.hpp"
#include "python/pyerr.hpp"

namespace marlinox::py {

PyRef new_object(PyObject* object, std::source_location where) {
    if (object) return PyRef::steal(object);
    fail_null_result(where);
}

void fail_null_result(std::source_location where) {
    if (auto error = PyErr::take()) {
        std::move(*error).restore();
        PyErr_WriteUnraisable(nullptr);
    }
    fail("PyObject pointer is null", where);
}

PyRef new_str(std::string_view utf8) {
    return new_object(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size))
        return std::string(utf8, static_cast<std::size_t>(size));
    (void)PyErr::take();  // lone surrogates: encode them anyway, then repair
    PyRef bytes = new_object(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return utf8::repair(std::string_view(
        PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

Result<std::string> display_text(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (text) return utf8_lossy(text.get());
    if (auto error = PyErr::take()) {
        if (!error->is_ordinary()) return std::move(*error);
        std::move(*error).restore();
        PyErr_WriteUnraisable(object);
    }
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!type_name) {
        if (auto error = PyErr::take_unless_ordinary()) return std::move(*error);
        return std::string("<unprintable object>");
    }
    return "<unprintable " + utf8_lossy(type_name.get()) + " object>";
}

namespace {

PyObject* intern(GilOnceCell& cell, std::string_view text) {
    return cell.get_or_create([&] {
        PyObject* name = new_str(text).release();
        PyUnicode_InternInPlace(&name);
        return name;
    });
}

GilOnceCell name_cell;
GilOnceCell all_cell;

}  // namespace

PyObject* interned_name() { return intern(name_cell, "__name__"); }
PyObject* interned_all() { return intern(all_cell, "__all__"); }

}  // namespace marlinox::py
