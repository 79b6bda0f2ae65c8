// The module entry: definition, slot table, method records, and the module
// body that registers the five functions and lists them in __all__.
#include "analysis/bodies/functions.hpp"
#include "failure/internal_failure.hpp"
#include "python/entry.hpp"
#include "python/objects.hpp"

namespace marlinox {
namespace {

using namespace analysis;
using py::PyErr;
using py::PyRef;
using py::Result;

// Module-level functions ignore METH_STATIC; it is set all the same.
constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

template <py::FunctionBody Body>
PyCFunction entry() {
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&py::fastcall_cfunction_with_keywords<Body>));
}

PyMethodDef method_records[] = {
    {"calculate_stop_free_run", entry<__pyfunction_calculate_stop_free_run>(), function_flags,
     "calculate_stop_free_run(sequences)\n--\n\n"},
    {"calculate_stop_free_runs_with_ids", entry<__pyfunction_calculate_stop_free_runs_with_ids>(),
     function_flags, "calculate_stop_free_runs_with_ids(seq_tuples)\n--\n\n"},
    {"calculate_stop_free_run_with_ratio", entry<__pyfunction_calculate_stop_free_run_with_ratio>(),
     function_flags, "calculate_stop_free_run_with_ratio(sequences)\n--\n\n"},
    {"calculate_gc_content", entry<__pyfunction_calculate_gc_content>(), function_flags,
     "calculate_gc_content(sequences)\n--\n\n"},
    {"calculate_run_probability", entry<__pyfunction_calculate_run_probability>(), function_flags,
     "calculate_run_probability(run_lengths, gc_contents)\n--\n\n"},
};

// The module's __all__, created as an empty list when the module has none.
Result<PyRef> all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, py::interned_all()));
    if (all) {
        if (!PyList_Check(all.get())) return PyErr::cast(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
        return all;
    }
    PyErr error = PyErr::fetch();
    if (!PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(error.materialise())),
                                     PyExc_AttributeError))
        return error;
    PyRef fresh = py::new_object(PyList_New(0));
    if (PyObject_SetAttr(module, py::interned_all(), fresh.get()) < 0) return PyErr::fetch();
    return fresh;
}

Result<py::Ok> register_function(PyObject* module, PyMethodDef* record) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return PyErr::fetch();
    PyRef function = PyRef::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
    module_name = PyRef();
    if (!function) return PyErr::fetch();

    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), py::interned_name()));
    if (!name) return PyErr::fetch();
    if (!PyUnicode_Check(name.get()))
        return PyErr::cast(name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));

    MX_TRY(all, all_list(module));
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr error = PyErr::fetch();
        fail("could not append __name__ to __all__: " + py::describe(error));
    }
    all = PyRef();
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return PyErr::fetch();
    return py::Ok{};
}

int exec_module(PyObject* module);

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "marlinox",
    "Fast batch analysis of nucleotide sequences: stop-free runs, GC content and run probabilities.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The module body: registers the five functions in order.
Result<py::Ok> marlinox(PyObject* module) {
    for (PyMethodDef& record : method_records) MX_CHECK(register_function(module, &record));
    return py::Ok{};
}

namespace {

int exec_module(PyObject* module) {
    std::optional<PyErr> error = py::catch_failures([&]() -> std::optional<PyErr> {
        if (!module) return PyErr::fetch();
        if (!PyModule_Check(module))
            return PyErr::cast(module, reinterpret_cast<PyObject*>(&PyModule_Type));
        Result<py::Ok> registered = marlinox(module);
        if (!registered.ok()) return std::move(registered).error();
        return std::nullopt;
    });
    if (!error) return 0;
    py::raise_at_boundary(std::move(*error));
    return -1;
}

}  // namespace
}  // namespace marlinox

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_marlinox() {
    return PyModuleDef_Init(&marlinox::module_definition);
}
