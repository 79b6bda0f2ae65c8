// The objects whose UTF-8 bytes the texts of a batch view, kept alive until
// the batch ends (released under the interpreter lock, on the calling thread).
// A str keeps its bytes and a tuple keeps its items for as long as it lives.
//
// Items of an exact list or tuple are borrowed rather than referenced: the
// argument holds them, and nothing can change it while no Python code runs.
// Every step of a call that may run Python code while texts are still in use
// (a conversion that calls a method, reading another argument through its
// own methods, the unraisable hook) calls pin_borrowed_items() first, which
// takes a reference to every item this thread has borrowed so far: they are
// still the argument's items, as no code has run since they were read. This
// spares two writes to every item, cache misses when items lie scattered.
#pragma once

#include <cstddef>
#include <memory>

#include "python/pyref.hpp"

namespace marlinox::py {

class KeptObjects {
public:
    KeptObjects();
    KeptObjects(KeptObjects&& other) noexcept;
    KeptObjects& operator=(KeptObjects&& other) noexcept;
    KeptObjects(const KeptObjects&) = delete;
    KeptObjects& operator=(const KeptObjects&) = delete;
    ~KeptObjects();

    void reserve(std::size_t n);
    void keep(PyRef object);

    // Borrows the items of `source` (an exact list or tuple that outlives the
    // batch) from the first on; borrow_next() counts one more.
    void borrow_from(PyObject* source);
    void borrow_next() noexcept;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Takes a reference to every item borrowed on this thread; from then on those
// batches hold their items themselves.
void pin_borrowed_items();

}  // namespace marlinox::py
