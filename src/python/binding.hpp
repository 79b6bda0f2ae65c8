// Binding a fast call's positional and keyword values to a function's
// parameters, with the interpreter's usual TypeError messages.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "python/result.hpp"

namespace marlinox::py {

struct FunctionDescription {
    std::string_view name;
    std::span<const std::string_view> parameters;  // all positional-or-keyword
    std::size_t required;

    std::string display_name() const { return std::string(name) + "()"; }
};

// Fills slots[i] with a borrowed reference to the value bound to parameter i.
Result<Ok> extract_arguments_fastcall(const FunctionDescription& function, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames,
                                      std::span<PyObject*> slots);

PyErr too_many_positional_arguments(const FunctionDescription& function, Py_ssize_t nargs);
PyErr unexpected_keyword_argument(const FunctionDescription& function, PyObject* keyword);
PyErr multiple_values_for_argument(const FunctionDescription& function, std::string_view parameter);
PyErr missing_required_positional_arguments(const FunctionDescription& function,
                                            std::span<PyObject* const> slots);
std::string missing_required_arguments(const FunctionDescription& function, std::string_view kind,
                                       std::span<const std::string_view> names);
void push_parameter_list(std::string& message, std::span<const std::string_view> names);

}  // namespace marlinox::py
