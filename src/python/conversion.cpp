#include "python/conversion.hpp"

#include <algorithm>
#include <climits>
#include <new>

#include "failure/internal_failure.hpp"
#include "python/objects.hpp"
#include "python/once.hpp"

namespace marlinox::py {
namespace {

GilOnceCell sequence_cell;

// Set while this thread looks the class up. The lookup imports, and an import
// hook may call the module again: that call must not start a lookup of its
// own, or each would wait for, or recurse into, the next.
thread_local bool looking_up_sequence = false;

// collections.abc.Sequence, looked up once per process; only used to name the
// required class in messages. Empty while this thread's own lookup runs.
PyObject* sequence_class() {
    if (PyObject* cached = sequence_cell.peek()) return cached;
    if (looking_up_sequence) return nullptr;
    struct LookingUp {
        LookingUp() { looking_up_sequence = true; }
        ~LookingUp() { looking_up_sequence = false; }
        LookingUp(const LookingUp&) = delete;
        LookingUp& operator=(const LookingUp&) = delete;
    } looking_up;
    return sequence_cell.get_or_create([]() -> PyObject* {
        PyRef module_name = new_str("collections.abc");
        PyRef module = PyRef::steal(PyImport_Import(module_name.get()));
        if (!module) {
            PyErr error = PyErr::fetch();
            fail("could not import collections.abc: " + describe(error));
        }
        PyRef attribute = new_str("Sequence");
        PyRef sequence = PyRef::steal(PyObject_GetAttr(module.get(), attribute.get()));
        if (!sequence) {
            PyErr error = PyErr::fetch();
            fail("could not read collections.abc.Sequence: " + describe(error));
        }
        if (!PyType_Check(sequence.get())) fail("collections.abc.Sequence is not a class");
        return sequence.release();
    });
}

PyErr not_a_sequence(PyObject* argument) {
    if (PyObject* sequence = sequence_class()) return PyErr::cast(argument, sequence);
    return PyErr::cast(argument, std::string("Sequence"));
}

// An interpreter conversion that returned its error value: the error is the
// raised exception, if any; otherwise the value stands.
template <class T>
Result<T> value_or_raised(T value, T error_value) {
    if (value == error_value && PyErr_Occurred()) {
        if (auto error = PyErr::take()) return std::move(*error);
    }
    return value;
}

// Keeps `raw` (a new reference) in the batch, then converts it and appends
// its value: the texts of the value view an object the batch already holds.
template <class T, class Convert>
Result<Ok> append_item(NativeBatch<T>& batch, PyObject* raw, Convert& convert) {
    batch.kept.keep(PyRef::steal(raw));
    Result<T> value = convert(raw);
    if (!value.ok()) return std::move(value).error();
    batch.items.push_back(std::move(value).value());
    return Ok{};
}

// Items of a list lie scattered in memory, and so do the members of a tuple
// item: conversion would wait for each in turn. Item i + 16 is asked for
// first; by the time conversion is 8 items before it, it has arrived, and the
// members of a tuple are asked for in turn. Reading the item is safe: the
// list holds it, and no Python code runs between the read and the prefetch.
inline void prefetch_object(const PyObject* object) {
    // The fields read (a tuple's two members, a str's state and first bytes)
    // lie within its first 48 bytes, which may cross a cache line.
    __builtin_prefetch(object);
    __builtin_prefetch(reinterpret_cast<const char*>(object) + 40);
}

inline void prefetch_ahead(PyObject* const* items, Py_ssize_t i, Py_ssize_t size) {
    constexpr Py_ssize_t near = 8, far = 16;
    if (i + far < size) prefetch_object(items[i + far]);
    if (i + near < size) {
        PyObject* item = items[i + near];
        if (PyTuple_CheckExact(item)) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(item) && k < 2; ++k)
                prefetch_object(PyTuple_GET_ITEM(item, k));
        }
    }
}

template <class T, class Convert>
Result<NativeBatch<T>> extract_sequence(PyObject* argument, Convert convert) {
    if (PyUnicode_Check(argument))
        return PyErr::new_lazy(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(argument)) return not_a_sequence(argument);

#ifndef Py_GIL_DISABLED
    // The iterator of an exact list or tuple walks its storage index by index,
    // reading the length again at every step (a conversion may run Python code
    // that resizes a list). Walking the storage the same way yields the same
    // items without an iterator call per item.
    const bool walk_storage = PyList_CheckExact(argument) || PyTuple_CheckExact(argument);
#else
    const bool walk_storage = false;
#endif

    NativeBatch<T> batch;
    Py_ssize_t hint = PyObject_Size(argument);
    if (hint < 0) {
        // The length is only a hint: an ordinary error from it is dropped.
        if (auto error = PyErr::take_unless_ordinary()) return std::move(*error);
    } else {
        // A lying __len__ must not make us ask for absurd amounts of memory
        // (sanitizer allocators abort rather than throw): reserve at most what
        // a real argument of 1 GiB of items could need; beyond that the
        // vectors grow as items arrive.
        constexpr std::size_t reservation_cap = (std::size_t{1} << 30) / sizeof(T);
        std::size_t room = std::min(static_cast<std::size_t>(hint), reservation_cap);
        try {
            batch.items.reserve(room);
            batch.kept.reserve(room);
        } catch (const std::bad_alloc&) {
        }  // a reservation that fails reserves nothing; the list still grows
    }

    if (walk_storage) {
        for (Py_ssize_t i = 0; i < Py_SIZE(argument); ++i) {
            prefetch_ahead(PySequence_Fast_ITEMS(argument), i, Py_SIZE(argument));
            MX_CHECK(append_item(batch, Py_NewRef(PySequence_Fast_ITEMS(argument)[i]), convert));
        }
        return batch;
    }

    PyRef iterator = PyRef::steal(PyObject_GetIter(argument));
    if (!iterator) return PyErr::fetch();
    for (;;) {
        PyObject* raw = nullptr;
        int status = PyIter_NextItem(iterator.get(), &raw);
        if (status == 0) break;
        if (status < 0) return PyErr::fetch();
        MX_CHECK(append_item(batch, raw, convert));
    }
    return batch;
}

template <class T, class Convert>
Result<NativeBatch<T>> extract_argument(PyObject* argument, std::string_view name, Convert convert) {
    Result<NativeBatch<T>> batch = extract_sequence<T>(argument, convert);
    if (!batch.ok()) return argument_extraction_error(name, std::move(batch).error());
    return batch;
}

template <class First, class Second>
Result<std::pair<First, Second>> extract_pair(PyObject* item, Result<First> (*convert_first)(PyObject*),
                                              Result<Second> (*convert_second)(PyObject*)) {
    if (!PyTuple_Check(item)) return PyErr::cast(item, reinterpret_cast<PyObject*>(&PyTuple_Type));
    // Read from the tuple's own storage: a subclass's methods are never called.
    Py_ssize_t length = PyTuple_GET_SIZE(item);
    if (length != 2)
        return PyErr::new_lazy(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " +
                                                     std::to_string(length));
    MX_TRY(first, convert_first(PyTuple_GET_ITEM(item, 0)));
    MX_TRY(second, convert_second(PyTuple_GET_ITEM(item, 1)));
    return std::pair<First, Second>(std::move(first), std::move(second));
}

}  // namespace

Result<Text> extract_text(PyObject* item) {
    if (!PyUnicode_Check(item)) return PyErr::cast(item, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Py_ssize_t size = 0;
    // The str's own UTF-8 bytes (made once and cached in the str if it is not
    // ASCII), valid for as long as the str lives.
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (!utf8) return PyErr::fetch();
    return Text(utf8, static_cast<std::size_t>(size));
}

Result<KeyedText> extract_keyed_text(PyObject* item) {
    MX_TRY(text, extract_text(item));
    // The plain str hash (cached in the str), also for a subclass, whose
    // __hash__ is not called: equal bytes give equal hashes.
    const Py_hash_t hash = PyUnicode_Type.tp_hash(item);
    return KeyedText{text, static_cast<std::size_t>(hash)};
}

Result<std::int32_t> extract_int32(PyObject* item) {
    MX_TRY(value, value_or_raised<long>(PyLong_AsLong(item), -1L));
    if constexpr (sizeof(long) > sizeof(std::int32_t)) {
        if (value < INT32_MIN || value > INT32_MAX)
            return PyErr::new_lazy(PyExc_OverflowError, "Python int too large to convert to C long");
    }
    return static_cast<std::int32_t>(value);
}

Result<double> extract_double(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    return value_or_raised<double>(PyFloat_AsDouble(item), -1.0);
}

Result<TextPair> extract_text_pair(PyObject* item) { return extract_pair(item, extract_text, extract_text); }
Result<RunLengthPair> extract_run_length_pair(PyObject* item) {
    return extract_pair(item, extract_keyed_text, extract_int32);
}
Result<FractionPair> extract_fraction_pair(PyObject* item) {
    return extract_pair(item, extract_keyed_text, extract_double);
}

PyErr argument_extraction_error(std::string_view name, PyErr error) {
    PyObject* exception = error.materialise();
    if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;
    MX_TRY(inner, display_text(exception));
    PyErr renamed = PyErr::new_lazy(PyExc_TypeError, "argument '" + std::string(name) + "': " + inner);
    renamed.set_cause(error.cause());
    return renamed;
}

Result<NativeBatch<Text>> extract_texts(PyObject* argument, std::string_view name) {
    return extract_argument<Text>(argument, name, extract_text);
}
Result<NativeBatch<TextPair>> extract_text_pairs(PyObject* argument, std::string_view name) {
    return extract_argument<TextPair>(argument, name, extract_text_pair);
}
Result<NativeBatch<RunLengthPair>> extract_run_length_pairs(PyObject* argument, std::string_view name) {
    return extract_argument<RunLengthPair>(argument, name, extract_run_length_pair);
}
Result<NativeBatch<FractionPair>> extract_fraction_pairs(PyObject* argument, std::string_view name) {
    return extract_argument<FractionPair>(argument, name, extract_fraction_pair);
}

}  // namespace marlinox::py
