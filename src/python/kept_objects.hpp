// The objects whose UTF-8 bytes the texts of a batch view, kept alive until
// the batch ends (released under the interpreter lock, on the calling thread).
// A str keeps its bytes and a tuple keeps its items for as long as it lives.
//
// Every object is kept with a reference of its own, taken before any of its
// bytes are read. So whatever Python code runs while the batch lives (a later
// item's or argument's own methods, an import, an audit or unraisable hook, a
// finalizer started by the cyclic collector) can empty the caller's lists
// without freeing a byte that a text views: nothing depends on that code not
// running.
#pragma once

#include <cstddef>
#include <vector>

#include "python/pyref.hpp"

namespace marlinox::py {

class KeptObjects {
public:
    KeptObjects() = default;
    KeptObjects(KeptObjects&& other) noexcept;
    KeptObjects& operator=(KeptObjects&& other) noexcept;
    KeptObjects(const KeptObjects&) = delete;
    KeptObjects& operator=(const KeptObjects&) = delete;
    ~KeptObjects();

    void reserve(std::size_t n);
    void keep(PyRef object);

private:
    void release_all() noexcept;
    std::vector<PyObject*> objects_;  // one reference each
};

}  // namespace marlinox::py
