// A call's results: native result vectors into new Python lists. The
// functions with identifiers build their tuples on the calling thread while
// the pool computes the values (identified_results), so that a body reads:
// bind, convert, map and build the results.
#pragma once

#include <cstddef>
#include <optional>
#include <source_location>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/ordered_results.hpp"
#include "parallel/parallel_ordered_map.hpp"
#include "python/conversion.hpp"
#include "python/result.hpp"

namespace marlinox::py {

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

namespace detail {

inline Text identifier_of(const TextPair& pair) { return pair.first; }
inline Text identifier_of(const RunLengthPair& pair) { return pair.first.text; }
inline Text identifier_of(const FractionPair& pair) { return pair.first.text; }

// The first tuple items of a result list, built on the calling thread while
// the pool computes the values. Their bytes are read from the caller's strs,
// scattered in memory and long out of the caches by now: each is asked for
// some way ahead of its turn.
template <class Pair>
void add_identifiers(IdentifiedResults& results, const std::vector<Pair>& items) {
    constexpr std::size_t ahead = 16;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i + ahead < items.size()) __builtin_prefetch(identifier_of(items[i + ahead]).data());
        results.add_identifier(identifier_of(items[i]));
    }
}

}  // namespace detail

// The list of (identifier, value...) tuples for `items`: `value_of` runs on the
// pool, and the tuples with their identifiers are built meanwhile.
template <class Pair, class ValueOf>
PyRef identified_results(const std::vector<Pair>& items, ValueOf value_of) {
    using Value = std::invoke_result_t<ValueOf&, const Pair&>;
    constexpr std::size_t values_per_item = std::is_same_v<Value, std::pair<std::size_t, double>> ? 2 : 1;
    IdentifiedResults results(items.size(), values_per_item);
    auto values = parallel::parallel_ordered_map(std::span<const Pair>(items), value_of,
                                                 [&] { detail::add_identifiers(results, items); });
    return results.finish(std::move(values));
}

}  // namespace marlinox::py
