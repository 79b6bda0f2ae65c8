#include "python/binding.hpp"

#include <vector>

#include "python/objects.hpp"

namespace marlinox::py {

Result<Ok> extract_arguments_fastcall(const FunctionDescription& function, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames,
                                      std::span<PyObject*> slots) {
    const std::size_t count = function.parameters.size();
    const auto positional = static_cast<std::size_t>(nargs);
    if (args) {
        for (std::size_t i = 0; i < std::min(positional, count); ++i) slots[i] = args[i];
    }
    if (positional > count) return too_many_positional_arguments(function, nargs);

    if (kwnames) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < keywords; ++j) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
            if (!utf8) {
                // An unreadable name matches no parameter.
                if (auto error = PyErr::take_unless_ordinary()) return std::move(*error);
                return unexpected_keyword_argument(function, keyword);
            }
            std::string_view name(utf8, static_cast<std::size_t>(size));
            std::size_t match = count;
            for (std::size_t i = 0; i < count; ++i) {
                if (function.parameters[i] == name) {
                    match = i;
                    break;
                }
            }
            if (match == count) return unexpected_keyword_argument(function, keyword);
            if (slots[match]) return multiple_values_for_argument(function, function.parameters[match]);
            slots[match] = args[nargs + j];
        }
    }

    if (positional < function.required) {
        for (std::size_t i = positional; i < function.required; ++i)
            if (!slots[i]) return missing_required_positional_arguments(function, slots);
    }
    return Ok{};
}

PyErr too_many_positional_arguments(const FunctionDescription& function, Py_ssize_t nargs) {
    return PyErr::new_lazy(PyExc_TypeError,
                           function.display_name() + " takes " +
                               std::to_string(function.parameters.size()) +
                               " positional arguments but " + std::to_string(nargs) +
                               (nargs == 1 ? " was" : " were") + " given");
}

PyErr unexpected_keyword_argument(const FunctionDescription& function, PyObject* keyword) {
    Result<std::string> name = display_text(keyword);
    if (!name.ok()) return std::move(name).error();
    return PyErr::new_lazy(PyExc_TypeError, function.display_name() +
                                                " got an unexpected keyword argument '" +
                                                name.value() + "'");
}

PyErr multiple_values_for_argument(const FunctionDescription& function, std::string_view parameter) {
    return PyErr::new_lazy(PyExc_TypeError, function.display_name() +
                                                " got multiple values for argument '" +
                                                std::string(parameter) + "'");
}

PyErr missing_required_positional_arguments(const FunctionDescription& function,
                                            std::span<PyObject* const> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < function.required; ++i)
        if (!slots[i]) missing.push_back(function.parameters[i]);
    return PyErr::new_lazy(PyExc_TypeError,
                           missing_required_arguments(function, "positional", missing));
}

std::string missing_required_arguments(const FunctionDescription& function, std::string_view kind,
                                       std::span<const std::string_view> names) {
    std::string message = function.display_name() + " missing " + std::to_string(names.size()) +
                          " required " + std::string(kind) +
                          (names.size() == 1 ? " argument" : " arguments") + ": ";
    push_parameter_list(message, names);
    return message;
}

void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) message += ',';
            message += i + 1 == names.size() ? " and " : " ";
        }
        message += '\'';
        message += names[i];
        message += '\'';
    }
}

}  // namespace marlinox::py
