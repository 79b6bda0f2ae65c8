// parallel_ordered_map: apply a per-item function to every item of a batch and
// return the results in input order. If any item fails (throws), the whole map
// fails with the failure of the first failing item in input order and no
// results are returned.
//
// Batches of 0 or 1 items run on the calling thread; larger batches run on the
// process-wide worker pool while the caller blocks. A caller with work of its
// own that does not depend on the results (building the parts of its output
// that come from the input) passes it as `meanwhile`: it runs on the calling
// thread while the pool works, and the map returns once both are done. The batch is cut into
// pieces by a split budget (see split_piece); every result is built in place
// in its own slot of the output, exactly once.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "failure/internal_failure.hpp"
#include "parallel/ordered_results.hpp"

namespace marlinox::parallel {

// Number of worker threads of the process-wide pool, creating the pool first
// if it does not exist yet. Fails (InternalFailure) if the pool can't be created.
std::size_t current_num_threads();

// Gives the pool `threads` workers (capped like any request), whatever the
// environment says. Takes effect only before the pool is created: returns
// false once it exists. 0 restores the size from the environment.
bool request_pool_size(std::size_t threads);

namespace detail {

// Output slots written by a piece: [start, start + count).
struct WrittenRange {
    std::size_t start = 0;
    std::size_t count = 0;
};

// The work of one batch, with the item and result types erased so that the
// pool is compiled once.
struct BatchOps {
    void* context;
    // Builds results first .. first + count - 1 in their slots, in order. If an
    // item fails, releases the results this call built and rethrows.
    void (*run)(void* context, std::size_t first, std::size_t count);
    // Destroys built results first .. first + count - 1.
    void (*release)(void* context, std::size_t first, std::size_t count) noexcept;
};

// Work of the calling thread, run while the pool works on its batch.
struct CallerWork {
    void* context = nullptr;
    void (*run)(void* context) = nullptr;
};

// Runs a whole batch of n items and returns the joined written range; rethrows
// the failure of the first failing item in input order (every result already
// built has been released by then). Creates the pool if needed. `meanwhile`
// runs on the calling thread, on its own; its failure is rethrown only when
// the batch itself succeeded (and its results have then been released).
WrittenRange run_batch(const BatchOps& ops, std::size_t n, CallerWork meanwhile = {});

// The piece rule. For a piece of `len` items with split budget `budget`,
// decides whether it splits; if so, updates `budget` to the budget both halves
// carry. `moved`: the piece runs on another thread than the one that split it
// off. `threads`: the pool size.
constexpr bool split_piece(std::size_t len, std::size_t& budget, bool moved, std::size_t threads) {
    if (len / 2 < 1) return false;
    if (moved) {
        budget = budget / 2 > threads ? budget / 2 : threads;
        return true;
    }
    if (budget == 0) return false;
    budget /= 2;
    return true;
}

// Joins the results of two halves: when `left` ends where `right` begins the
// joined range covers both; otherwise `right` is released and `left` goes on.
WrittenRange join_written(WrittenRange left, WrittenRange right, const BatchOps& ops) noexcept;

// Fails with "expected {expected} total writes, but got {got}".
[[noreturn]] void fail_total_writes(std::size_t expected, std::size_t got);

// Builds results into a piece's own slots and refuses to write past them.
template <class T>
class SlotWriter {
public:
    SlotWriter(T* slots, std::size_t len) noexcept : slots_(slots), len_(len) {}
    SlotWriter(const SlotWriter&) = delete;
    SlotWriter& operator=(const SlotWriter&) = delete;

    // Constructs the next result from make()'s return value, in place.
    template <class Make>
    void emplace_with(Make&& make) {
        if (written_ >= len_) fail("too many values pushed to consumer");
        ::new (static_cast<void*>(slots_ + written_)) T(std::forward<Make>(make)());
        ++written_;
    }
    std::size_t written() const noexcept { return written_; }
    // Destroys every result built so far.
    void release() noexcept {
        std::destroy_n(slots_, written_);
        written_ = 0;
    }

private:
    T* slots_;
    std::size_t len_;
    std::size_t written_ = 0;
};

template <class In, class Out, class F>
struct MapContext {
    const In* items;
    Out* slots;
    F* f;

    static void run(void* context, std::size_t first, std::size_t count) {
        auto& self = *static_cast<MapContext*>(context);
        SlotWriter<Out> writer(self.slots + first, count);
        try {
            for (std::size_t i = first; i != first + count; ++i)
                writer.emplace_with([&]() -> Out { return std::invoke(*self.f, self.items[i]); });
        } catch (...) {
            writer.release();
            throw;
        }
    }
    static void release(void* context, std::size_t first, std::size_t count) noexcept {
        auto& self = *static_cast<MapContext*>(context);
        std::destroy_n(self.slots + first, count);
    }
};

}  // namespace detail

template <class In, class F, class Meanwhile = std::nullptr_t>
auto parallel_ordered_map(std::span<const In> items, F&& f, Meanwhile&& meanwhile = nullptr)
    -> OrderedResults<std::invoke_result_t<F&, const In&>> {
    using Out = std::invoke_result_t<F&, const In&>;
    static_assert(std::is_object_v<Out>, "the per-item function must return a value");
    using Context = detail::MapContext<In, Out, std::remove_reference_t<F>>;

    OrderedResults<Out> out(items.size());
    Context context{items.data(), out.slot(0), std::addressof(f)};
    const detail::BatchOps ops{&context, &Context::run, &Context::release};
    detail::CallerWork caller_work;
    if constexpr (!std::is_null_pointer_v<std::remove_cvref_t<Meanwhile>>) {
        caller_work.context = std::addressof(meanwhile);
        caller_work.run = [](void* work) { std::invoke(*static_cast<std::remove_reference_t<Meanwhile>*>(work)); };
    }
    const detail::WrittenRange written = detail::run_batch(ops, items.size(), caller_work);
    if (written.count != items.size()) {
        ops.release(ops.context, written.start, written.count);
        detail::fail_total_writes(items.size(), written.count);
    }
    out.set_size(items.size());
    return out;
}

}  // namespace marlinox::parallel
