// Conversion of call arguments into native lists, and of native result vectors
// into new Python lists. A native list views the UTF-8 bytes of the argument's
// str objects in place, without copying them; the batch holds a reference to
// every item, taken before its bytes are read, until the call ends
// (kept_objects.hpp), and a str's UTF-8 bytes never change or move while the
// str lives, so the worker threads read them without the interpreter lock and
// without touching any Python object.
#pragma once

#include <cstdint>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "parallel/ordered_results.hpp"
#include "python/kept_objects.hpp"
#include "python/result.hpp"

namespace marlinox::py {

using Text = std::string_view;  // UTF-8 bytes of a str that the batch holds
// An identifier to look up, with the interpreter's own hash of its str: keyed
// per process, so nobody can craft identifiers that collide, and computed on
// the calling thread, so worker threads only compare.
struct KeyedText {
    Text text;
    std::size_t hash;
};
using TextPair = std::pair<Text, Text>;
using RunLengthPair = std::pair<KeyedText, std::int32_t>;
using FractionPair = std::pair<KeyedText, double>;

// The converted items of one argument, and the objects their texts view.
template <class T>
struct Batch {
    std::vector<T> items;
    KeptObjects kept;
};

// Element converters: a borrowed object to its native value. Texts view the
// object's own bytes: valid while the object is kept alive.
Result<Text> extract_text(PyObject* item);
Result<KeyedText> extract_keyed_text(PyObject* item);
Result<std::int32_t> extract_int32(PyObject* item);
Result<double> extract_double(PyObject* item);
Result<TextPair> extract_text_pair(PyObject* item);
Result<RunLengthPair> extract_run_length_pair(PyObject* item);
Result<FractionPair> extract_fraction_pair(PyObject* item);

// The error to report for a failed conversion of the parameter `name`.
PyErr argument_extraction_error(std::string_view name, PyErr error);

// Converts one bound argument (a sequence, not a str) into a native list.
// Items are read in the order the argument's iterator yields them.
Result<Batch<Text>> extract_texts(PyObject* argument, std::string_view name);
Result<Batch<TextPair>> extract_text_pairs(PyObject* argument, std::string_view name);
Result<Batch<RunLengthPair>> extract_run_length_pairs(PyObject* argument, std::string_view name);
Result<Batch<FractionPair>> extract_fraction_pairs(PyObject* argument, std::string_view name);

// Result conversion: consumes the vector and returns a new list.
PyRef owned_sequence_into_pyobject(parallel::OrderedResults<std::size_t> results);

// Keeps the call from starting a cyclic collection while results are built,
// and restores the collector's previous state.
class CollectorPause {
public:
    CollectorPause() noexcept;
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause();

private:
    bool was_enabled_ = false;
};

// A result list of (identifier, value, ...) tuples, built in two steps so that
// the first can run on the calling thread while the pool computes the values:
// add_identifier creates each tuple with a new str of its identifier in front,
// finish puts the values behind it and hands the list over. The collector is
// paused from construction until finish, or destruction.
//
// No Python code runs while the pool works or the collector is paused, so an
// object that can't be created stops the building without being reported
// there: finish reports it (the unraisable hook, then the internal failure
// "PyObject pointer is null") once the pause has ended. When the map fails
// instead, finish is never reached and the failure is dropped with the rest.
class IdentifiedResults {
public:
    IdentifiedResults(std::size_t count, std::size_t values_per_item);
    IdentifiedResults(const IdentifiedResults&) = delete;
    IdentifiedResults& operator=(const IdentifiedResults&) = delete;

    // Tuple i, in order, for i = 0 .. count - 1.
    void add_identifier(Text identifier);

    // After every identifier and a successful map: the values of item i go
    // into tuple i.
    PyRef finish(parallel::OrderedResults<std::size_t> runs);
    PyRef finish(parallel::OrderedResults<double> values);
    PyRef finish(parallel::OrderedResults<std::pair<std::size_t, double>> values);

private:
    struct FailedCreation {
        PyRef exception;  // what the interpreter raised, if anything
        std::source_location where;
    };

    // `object`, a new reference; a NULL is kept as the failure to report.
    PyObject* created(PyObject* object, std::source_location where = std::source_location::current());
    bool set_values(PyObject* tuple, std::size_t run_length);
    bool set_values(PyObject* tuple, double value);
    bool set_values(PyObject* tuple, const std::pair<std::size_t, double>& values);
    static bool put(PyObject* tuple, Py_ssize_t slot, PyObject* value) noexcept;
    template <class T>
    PyRef finish_with(parallel::OrderedResults<T>& values);

    std::size_t count_;
    Py_ssize_t arity_;
    std::size_t added_ = 0;
    std::optional<FailedCreation> failed_;
    std::optional<CollectorPause> pause_;  // outlives list_, which is released first
    PyRef list_;
};

}  // namespace marlinox::py
