#include "python/kept_objects.hpp"

#include <utility>

namespace marlinox::py {

KeptObjects::KeptObjects(KeptObjects&& other) noexcept : objects_(std::exchange(other.objects_, {})) {}

KeptObjects& KeptObjects::operator=(KeptObjects&& other) noexcept {
    if (this != &other) {
        release_all();
        objects_ = std::exchange(other.objects_, {});
    }
    return *this;
}

KeptObjects::~KeptObjects() { release_all(); }

void KeptObjects::release_all() noexcept {
    // The objects lie scattered in memory: each is asked for well ahead of
    // its turn, as a release takes only a few cycles.
    constexpr std::size_t ahead = 64;
    const std::vector<PyObject*> objects = std::exchange(objects_, {});
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (i + ahead < objects.size()) __builtin_prefetch(objects[i + ahead], 1);
        Py_DECREF(objects[i]);
    }
}

void KeptObjects::reserve(std::size_t n) { objects_.reserve(n); }

void KeptObjects::keep(PyRef object) {
    objects_.push_back(object.get());
    (void)object.release();  // the reference now belongs to objects_
}

}  // namespace marlinox::py
