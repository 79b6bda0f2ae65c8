// Conversion of call arguments into owned native lists, and of native result
// vectors into new Python lists. Native lists hold no Python reference, so the
// worker threads read them without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "parallel/ordered_results.hpp"
#include "python/result.hpp"

namespace marlinox::py {

using Text = std::string;  // owned UTF-8 bytes of a str
using TextPair = std::pair<Text, Text>;
using RunLengthPair = std::pair<Text, std::int32_t>;
using FractionPair = std::pair<Text, double>;

// Element converters: a borrowed object to its native value.
Result<Text> extract_text(PyObject* item);
Result<std::int32_t> extract_int32(PyObject* item);
Result<double> extract_double(PyObject* item);
Result<TextPair> extract_text_pair(PyObject* item);
Result<RunLengthPair> extract_run_length_pair(PyObject* item);
Result<FractionPair> extract_fraction_pair(PyObject* item);

// The error to report for a failed conversion of the parameter `name`.
PyErr argument_extraction_error(std::string_view name, PyErr error);

// Converts one bound argument (a sequence, not a str) into a native list.
Result<std::vector<Text>> extract_texts(PyObject* argument, std::string_view name);
Result<std::vector<TextPair>> extract_text_pairs(PyObject* argument, std::string_view name);
Result<std::vector<RunLengthPair>> extract_run_length_pairs(PyObject* argument, std::string_view name);
Result<std::vector<FractionPair>> extract_fraction_pairs(PyObject* argument, std::string_view name);

// Result conversion; each consumes its vector and returns a new list.
PyRef owned_sequence_into_pyobject(parallel::OrderedResults<std::size_t> results);
PyRef owned_sequence_into_pyobject(parallel::OrderedResults<std::pair<Text, std::size_t>> results);
PyRef owned_sequence_into_pyobject(
    parallel::OrderedResults<std::tuple<Text, std::size_t, double>> results);
PyRef owned_sequence_into_pyobject(parallel::OrderedResults<std::pair<Text, double>> results);

}  // namespace marlinox::py
