// A process-wide Python object created once, on first need. A thread that
// finds it missing gives up the interpreter lock while it waits for the guard,
// then creates it with the lock held; concurrent callers get the same object.
// A failed creation leaves the cell empty, so the next need tries again. The
// object is never released: it lives until the process ends.
#pragma once

#include <atomic>
#include <mutex>

#include "python/pyref.hpp"

namespace marlinox::py {

class GilOnceCell {
public:
    // `create` returns a new reference, or nullptr/throws on failure; on
    // success the cell keeps the reference for good.
    template <class Create>
    PyObject* get_or_create(Create&& create) {
        if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
        std::unique_lock<std::mutex> guard = lock_without_gil();
        if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
        PyObject* value = create();
        if (value) value_.store(value, std::memory_order_release);
        return value;
    }

    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::unique_lock<std::mutex> lock_without_gil() {
        PyThreadState* state = PyEval_SaveThread();
        std::unique_lock<std::mutex> guard(mutex_);
        PyEval_RestoreThread(state);
        return guard;
    }

    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace marlinox::py
