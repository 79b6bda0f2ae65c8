#include "python/kept_objects.hpp"

#include <algorithm>
#include <vector>

namespace marlinox::py {

struct KeptObjects::State {
    std::vector<PyObject*> objects;  // one reference each
    PyObject* source = nullptr;      // while borrowing: the argument
    std::size_t borrowed = 0;        // its items 0 .. borrowed - 1
};

namespace {

// The batches of this thread that borrow. A call has at most two, and a call
// made while another runs starts only after the other has pinned its items,
// since it needs Python code to be made.
thread_local std::vector<KeptObjects::State*> borrowing;

void stop_borrowing(KeptObjects::State& state) noexcept {
    borrowing.erase(std::remove(borrowing.begin(), borrowing.end(), &state), borrowing.end());
    state.source = nullptr;
    state.borrowed = 0;
}

}  // namespace

KeptObjects::KeptObjects() : state_(std::make_unique<State>()) {}
KeptObjects::KeptObjects(KeptObjects&& other) noexcept = default;
KeptObjects& KeptObjects::operator=(KeptObjects&& other) noexcept {
    KeptObjects old(std::move(*this));
    state_ = std::move(other.state_);
    return *this;
}

KeptObjects::~KeptObjects() {
    if (!state_) return;
    if (state_->source) stop_borrowing(*state_);
    // The objects lie scattered in memory: each is asked for well ahead of
    // its turn, as a release takes only a few cycles.
    constexpr std::size_t ahead = 64;
    const std::vector<PyObject*>& objects = state_->objects;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (i + ahead < objects.size()) __builtin_prefetch(objects[i + ahead], 1);
        Py_DECREF(objects[i]);
    }
}

void KeptObjects::reserve(std::size_t n) { state_->objects.reserve(n); }

void KeptObjects::keep(PyRef object) {
    state_->objects.push_back(object.get());
    (void)object.release();  // the reference now belongs to objects
}

void KeptObjects::borrow_from(PyObject* source) {
    borrowing.push_back(state_.get());
    state_->source = source;
    state_->borrowed = 0;
}

void KeptObjects::borrow_next() noexcept { ++state_->borrowed; }

void pin_borrowed_items() {
    while (!borrowing.empty()) {
        KeptObjects::State& state = *borrowing.back();
        // Room first, so that a failure leaves the batch as it was.
        state.objects.reserve(state.objects.size() + state.borrowed);
        PyObject* const* items = PySequence_Fast_ITEMS(state.source);
        for (std::size_t i = 0; i < state.borrowed; ++i) state.objects.push_back(Py_NewRef(items[i]));
        stop_borrowing(state);
    }
}

}  // namespace marlinox::py
