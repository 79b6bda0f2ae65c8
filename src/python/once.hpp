// A process-wide Python object created once, on first need, and never released.
// There is no native lock: a thread that finds the cell empty creates the
// object with the interpreter lock held, and the first creation stored wins;
// a thread whose creation lost releases its own object and uses the stored
// one. So a creation that runs Python code which needs the same cell again
// (an import hook, another thread holding an import lock, a finalizer) never
// waits on itself or on another thread, and a child forked in the middle of a
// creation finds the cell either empty or filled, never locked.
// A failed creation leaves the cell empty, so the next need tries again.
#pragma once

#include <atomic>

#include "python/pyref.hpp"

namespace marlinox::py {

class GilOnceCell {
public:
    // `create` returns a new reference, or nullptr/throws on failure.
    template <class Create>
    PyObject* get_or_create(Create&& create) {
        if (PyObject* value = peek()) return value;
        PyRef created = PyRef::steal(create());
        if (!created) return nullptr;
        PyObject* stored = nullptr;
        if (value_.compare_exchange_strong(stored, created.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire))
            return created.release();
        return stored;  // `created` lost the race and is released here
    }

    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace marlinox::py
