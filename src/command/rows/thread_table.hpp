// Per-thread tables of remembered values, mapped on a thread's first use of
// them. A thread_local array is zeroed whole for every thread the process
// starts, reader and writer included, which costs a short run more page
// faults than its rows; mapped pages cost only where a worker touches them.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <type_traits>

namespace marlinox::command {

// `count` zeroed slots, unmapped with their owner.
template <class Slot, std::size_t count>
class MappedSlots {
public:
    static_assert(std::is_trivially_default_constructible_v<Slot> && std::is_trivially_destructible_v<Slot>);
    MappedSlots() noexcept {
        void* pages = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        slots_ = pages == MAP_FAILED ? nullptr : static_cast<Slot*>(pages);
    }
    MappedSlots(const MappedSlots&) = delete;
    MappedSlots& operator=(const MappedSlots&) = delete;
    ~MappedSlots() {
        if (slots_ != nullptr) ::munmap(slots_, kBytes);
    }
    Slot* get() const noexcept { return slots_; }

private:
    static constexpr std::size_t kBytes = count * sizeof(Slot);
    Slot* slots_;
};

// This thread's table; nullptr when no memory could be mapped (the caller
// then computes without remembering).
template <class Slot, std::size_t count>
Slot* thread_table() noexcept {
    thread_local MappedSlots<Slot, count> table;
    return table.get();
}

}  // namespace marlinox::command
