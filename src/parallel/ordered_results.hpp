// Storage for the results of one batch: room for exactly N results reserved
// once, each result constructed in place in its own slot.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace marlinox::parallel {

template <class T>
class OrderedResults {
public:
    OrderedResults() = default;
    explicit OrderedResults(std::size_t capacity)
        : slots_(capacity ? static_cast<T*>(::operator new(capacity * sizeof(T), std::align_val_t{alignof(T)}))
                          : nullptr),
          capacity_(capacity) {}
    OrderedResults(OrderedResults&& other) noexcept { swap(other); }
    OrderedResults& operator=(OrderedResults other) noexcept {
        swap(other);
        return *this;
    }
    ~OrderedResults() {
        std::destroy_n(slots_, size_);
        if (slots_) ::operator delete(slots_, std::align_val_t{alignof(T)});
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    T* begin() noexcept { return slots_; }
    T* end() noexcept { return slots_ + size_; }
    T& operator[](std::size_t i) noexcept { return slots_[i]; }
    const T& operator[](std::size_t i) const noexcept { return slots_[i]; }

    // Raw slot i, not yet constructed; the map builds result i here.
    T* slot(std::size_t i) noexcept { return slots_ + i; }
    // Marks the first `n` slots as constructed, after the map has filled them.
    void set_size(std::size_t n) noexcept { size_ = n; }

private:
    void swap(OrderedResults& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(capacity_, other.capacity_);
        std::swap(size_, other.size_);
    }

    T* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace marlinox::parallel
