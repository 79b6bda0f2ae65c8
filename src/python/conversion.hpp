// Conversion of call arguments into native lists (results.hpp turns result
// vectors back into Python lists). A native list views the UTF-8 bytes of the argument's
// str objects in place, without copying them; the batch holds a reference to
// every item, taken before its bytes are read, until the call ends
// (kept_objects.hpp), and a str's UTF-8 bytes never change or move while the
// str lives, so the worker threads read them without the interpreter lock and
// without touching any Python object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

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
struct NativeBatch {
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
Result<NativeBatch<Text>> extract_texts(PyObject* argument, std::string_view name);
Result<NativeBatch<TextPair>> extract_text_pairs(PyObject* argument, std::string_view name);
Result<NativeBatch<RunLengthPair>> extract_run_length_pairs(PyObject* argument, std::string_view name);
Result<NativeBatch<FractionPair>> extract_fraction_pairs(PyObject* argument, std::string_view name);

}  // namespace marlinox::py
