#include "python/results.hpp"

#include <string>

#include "failure/fault_injection.hpp"
#include "failure/internal_failure.hpp"
#include "python/objects.hpp"

namespace marlinox::py {

namespace {

// The interpreter calls that create result objects; each returns a new
// reference, or NULL with an exception raised.
PyObject* int_object(std::size_t run_length) { return PyLong_FromUnsignedLongLong(run_length); }
PyObject* float_object(double value) { return PyFloat_FromDouble(value); }
PyObject* list_object(std::size_t count) {
    return fault_injection::active(fault_injection::Fault::result_list) ? PyErr_NoMemory() : PyList_New(static_cast<Py_ssize_t>(count));
}
PyObject* identifier_object(Text identifier) {
    return fault_injection::active(fault_injection::Fault::result_identifier)
               ? PyErr_NoMemory()
               : PyUnicode_FromStringAndSize(identifier.data(), static_cast<Py_ssize_t>(identifier.size()));
}

// The new reference `item` for a slot of `unfinished`. A NULL is reported as
// by new_object, but only once `unfinished` is gone: the unraisable hook runs
// Python code, which could find the container through the collector and read
// its empty slots.
PyObject* new_item(PyObject* item, PyRef& unfinished,
                   std::source_location where = std::source_location::current()) {
    if (item) return item;
    unfinished = PyRef();
    fail_null_result(where);
}

}  // namespace

PyRef owned_sequence_into_pyobject(parallel::OrderedResults<std::size_t> results) {
    PyRef list = new_object(list_object(results.size()));
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyObject* item = new_item(int_object(results[i]), list);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// Every result tuple is untracked as it is built, yet each allocation still
// counts towards the next collection, and the collector sizes the old objects
// it walks by that count: a million results would make the collection that
// follows the call walk millions of the caller's objects, for tuples it will
// never see. Paused, the call starts no collection; the count stays, so while
// the results live the next collection still does that walk, and results
// released first take the count back down. Nothing that runs while results
// are built can create a cycle or run Python code. Without the interpreter
// lock other threads could switch the collector at the same moment, so that
// build leaves it alone.
CollectorPause::CollectorPause() noexcept {
#ifndef Py_GIL_DISABLED
    was_enabled_ = PyGC_Disable() != 0;
#endif
}

CollectorPause::~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
}

// A list left unfinished holds tuples with empty value slots; releasing it
// releases them.
IdentifiedResults::IdentifiedResults(std::size_t count, std::size_t values_per_item)
    : count_(count), arity_(static_cast<Py_ssize_t>(values_per_item + 1)) {
    pause_.emplace();
    list_ = PyRef::steal(created(list_object(count)));
}

PyObject* IdentifiedResults::created(PyObject* object, std::source_location where) {
    if (object) return object;
    // Taking the raised exception runs no Python code. Building stops at the
    // first failure, which is the one reported.
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (!failed_) failed_.emplace(FailedCreation{std::move(raised), where});
    return nullptr;
}

void IdentifiedResults::add_identifier(Text identifier) {
    if (failed_) return;
    PyRef text = PyRef::steal(created(identifier_object(identifier)));
    if (!text) return;
    PyObject* tuple = created(PyTuple_New(arity_));
    if (!tuple) return;
    PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(added_++), tuple);
    PyTuple_SET_ITEM(tuple, 0, text.release());
    // A str and numbers can't take part in a reference cycle, so neither can
    // the tuple. The collector would untrack it at its first pass anyway, but
    // only after walking every result tuple once.
    PyObject_GC_UnTrack(tuple);
}

// Puts the values of one item behind its identifier; false when one could
// not be created.
bool IdentifiedResults::set_values(PyObject* tuple, std::size_t run_length) {
    return put(tuple, 1, created(int_object(run_length)));
}
bool IdentifiedResults::set_values(PyObject* tuple, double value) {
    return put(tuple, 1, created(float_object(value)));
}
bool IdentifiedResults::set_values(PyObject* tuple, const std::pair<std::size_t, double>& values) {
    return put(tuple, 1, created(int_object(values.first))) && put(tuple, 2, created(float_object(values.second)));
}

bool IdentifiedResults::put(PyObject* tuple, Py_ssize_t slot, PyObject* value) noexcept {
    if (!value) return false;
    PyTuple_SET_ITEM(tuple, slot, value);
    return true;
}

template <class T>
PyRef IdentifiedResults::finish_with(parallel::OrderedResults<T>& values) {
    if (!failed_) {
        if (added_ != count_ || values.size() != count_)
            fail("expected " + std::to_string(count_) + " results, but got " + std::to_string(values.size()));
        PyObject* const* tuples = PySequence_Fast_ITEMS(list_.get());
        // The tuples were built a while ago and have left the caches: ask for
        // them some way ahead of their turn.
        constexpr std::size_t ahead = 16;
        for (std::size_t i = 0; i < count_; ++i) {
            if (i + ahead < count_) __builtin_prefetch(tuples[i + ahead], 1);
            if (!set_values(tuples[i], values[i])) break;
        }
    }
    PyRef list = std::move(list_);
    if (failed_) list = PyRef();
    // Python code may run from here on: the hook below, and any collection.
    pause_.reset();
    if (failed_) {
        PyErr_SetRaisedException(failed_->exception.release());
        fail_null_result(failed_->where);
    }
    return list;
}

PyRef IdentifiedResults::finish(parallel::OrderedResults<std::size_t> runs) { return finish_with(runs); }
PyRef IdentifiedResults::finish(parallel::OrderedResults<double> values) { return finish_with(values); }
PyRef IdentifiedResults::finish(parallel::OrderedResults<std::pair<std::size_t, double>> values) {
    return finish_with(values);
}

}  // namespace marlinox::py
