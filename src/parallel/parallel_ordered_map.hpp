// parallel_ordered_map: apply a per-item function to every item of a batch and
// return the results in input order. If any item fails (throws), the whole map
// fails with the failure of the first failing item in input order and no
// results are returned.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <type_traits>

#include "parallel/ordered_results.hpp"

namespace marlinox::parallel {

// Number of worker threads of the process-wide pool.
std::size_t current_num_threads();

template <class In, class F>
auto parallel_ordered_map(std::span<const In> items, F&& f)
    -> OrderedResults<std::invoke_result_t<F&, const In&>> {
    using Out = std::invoke_result_t<F&, const In&>;
    OrderedResults<Out> out(items.size());
    std::size_t written = 0;
    try {
        for (const In& item : items) {
            std::construct_at(out.slot(written), f(item));
            ++written;
        }
    } catch (...) {
        std::destroy_n(out.slot(0), written);
        throw;
    }
    out.set_size(written);
    return out;
}

}  // namespace marlinox::parallel
