#include "analysis/bodies/functions.hpp"

#include <array>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/identifier_table.hpp"
#include "analysis/kernels.hpp"
#include "analysis/run_statistics.hpp"
#include "parallel/parallel_ordered_map.hpp"
#include "python/binding.hpp"
#include "python/conversion.hpp"
#include "python/results.hpp"

namespace marlinox::analysis {
namespace {

using namespace std::string_view_literals;
using py::FunctionDescription;
using py::Text;

constexpr std::array sequences_parameter{"sequences"sv};
constexpr std::array seq_tuples_parameter{"seq_tuples"sv};
constexpr std::array probability_parameters{"run_lengths"sv, "gc_contents"sv};

constexpr FunctionDescription stop_free_run_description{"calculate_stop_free_run", sequences_parameter, 1};
constexpr FunctionDescription runs_with_ids_description{"calculate_stop_free_runs_with_ids",
                                                        seq_tuples_parameter, 1};
constexpr FunctionDescription run_with_ratio_description{"calculate_stop_free_run_with_ratio",
                                                         sequences_parameter, 1};
constexpr FunctionDescription gc_content_description{"calculate_gc_content", sequences_parameter, 1};
constexpr FunctionDescription run_probability_description{"calculate_run_probability",
                                                          probability_parameters, 2};

template <std::size_t N>
Result<std::array<PyObject*, N>> bind(const FunctionDescription& function, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    MX_CHECK(py::extract_arguments_fastcall(function, args, nargs, kwnames, slots));
    return slots;
}

}  // namespace

Result<PyRef> __pyfunction_calculate_stop_free_run(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
    MX_TRY(slots, bind<1>(stop_free_run_description, args, nargs, kwnames));
    MX_TRY(sequences, py::extract_texts(slots[0], "sequences"));
    auto results = parallel::parallel_ordered_map(std::span<const Text>(sequences.items), [](Text sequence) {
        return calculate_stop_free_run_single(sequence);
    });
    return py::owned_sequence_into_pyobject(std::move(results));
}

Result<PyRef> __pyfunction_calculate_stop_free_runs_with_ids(PyObject*, PyObject* const* args,
                                                             Py_ssize_t nargs, PyObject* kwnames) {
    MX_TRY(slots, bind<1>(runs_with_ids_description, args, nargs, kwnames));
    MX_TRY(pairs, py::extract_text_pairs(slots[0], "seq_tuples"));
    return py::identified_results(pairs.items,
                              [](const py::TextPair& pair) { return calculate_stop_free_run_single(pair.second); });
}

Result<PyRef> __pyfunction_calculate_stop_free_run_with_ratio(PyObject*, PyObject* const* args,
                                                              Py_ssize_t nargs, PyObject* kwnames) {
    MX_TRY(slots, bind<1>(run_with_ratio_description, args, nargs, kwnames));
    MX_TRY(pairs, py::extract_text_pairs(slots[0], "sequences"));
    return py::identified_results(pairs.items, [](const py::TextPair& pair) {
        std::size_t run = calculate_stop_free_run_single(pair.second);
        return std::pair<std::size_t, double>(run, run_ratio(run, pair.second.size()));
    });
}

Result<PyRef> __pyfunction_calculate_gc_content(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) {
    MX_TRY(slots, bind<1>(gc_content_description, args, nargs, kwnames));
    MX_TRY(pairs, py::extract_text_pairs(slots[0], "sequences"));
    return py::identified_results(pairs.items,
                              [](const py::TextPair& pair) { return calculate_gc_content_single(pair.second); });
}

Result<PyRef> __pyfunction_calculate_run_probability(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
    MX_TRY(slots, bind<2>(run_probability_description, args, nargs, kwnames));
    MX_TRY(run_lengths, py::extract_run_length_pairs(slots[0], "run_lengths"));
    MX_TRY(gc_contents, py::extract_fraction_pairs(slots[1], "gc_contents"));

    // The table owns nothing: its keys view the identifiers of gc_contents,
    // which the batch keeps alive longer than the table. Later pairs replace
    // earlier ones with the same key.
    IdentifierTable table(gc_contents.items.size());
    constexpr std::size_t ahead = 32;
    const std::vector<py::FractionPair>& fractions = gc_contents.items;
    for (std::size_t i = 0; i < fractions.size(); ++i) {
        if (i + ahead < fractions.size()) table.prefetch(fractions[i + ahead].first.hash);
        table.insert_or_assign(fractions[i].first.text, fractions[i].first.hash, fractions[i].second);
    }

    const py::RunLengthPair* const end = run_lengths.items.data() + run_lengths.items.size();
    return py::identified_results(run_lengths.items, [&table, end](const py::RunLengthPair& pair) {
        // The items of a piece are looked up in order, so the lookups to
        // come are known: their memory is asked for in stages.
        const py::RunLengthPair* const here = &pair;
        if (end - here > 24) table.prefetch(here[24].first.hash);
        if (end - here > 16) table.prefetch_entry(here[16].first.hash);
        if (end - here > 8) {
            table.prefetch_key(here[8].first.hash);
            __builtin_prefetch(here[8].first.text.data());
        }
        const double* found = table.find(pair.first.text, pair.first.hash);
        return calculate_run_probability_single(pair.second, found == nullptr ? 0.0 : *found);
    });
}

}  // namespace marlinox::analysis
