// The bodies of the five exported functions: bind and convert the arguments,
// map the kernel over the batch, convert the results.
#pragma once

#include "python/result.hpp"

namespace marlinox::analysis {

using py::PyRef;
using py::Result;

Result<PyRef> __pyfunction_calculate_stop_free_run(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Result<PyRef> __pyfunction_calculate_stop_free_runs_with_ids(PyObject*, PyObject* const*, Py_ssize_t,
                                                             PyObject*);
Result<PyRef> __pyfunction_calculate_stop_free_run_with_ratio(PyObject*, PyObject* const*, Py_ssize_t,
                                                              PyObject*);
Result<PyRef> __pyfunction_calculate_gc_content(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Result<PyRef> __pyfunction_calculate_run_probability(PyObject*, PyObject* const*, Py_ssize_t,
                                                     PyObject*);

}  // namespace marlinox::analysis
