#include "command/rows/spare_rows.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace marlinox::command {
namespace {

// About the rows of eight batches of the largest budget: what the workers and
// the writer have in flight, without holding on to the rows of a file whose
// records were far larger than usual.
constexpr std::size_t kMostKeptBytes = std::size_t{32} << 20;

struct SpareRows {
    std::mutex mutex;
    std::vector<std::string> buffers;
    std::size_t kept_bytes = 0;
};

SpareRows& spare_rows() {
    static SpareRows spares;
    return spares;
}

}  // namespace

std::string take_row_buffer(std::size_t capacity) {
    std::string rows;
    {
        SpareRows& spares = spare_rows();
        std::lock_guard lock(spares.mutex);
        if (!spares.buffers.empty()) {
            rows = std::move(spares.buffers.back());
            spares.buffers.pop_back();
            spares.kept_bytes -= rows.capacity();
        }
    }
    rows.clear();
    rows.reserve(capacity);
    return rows;
}

void give_row_buffer(std::string&& rows) noexcept {
    SpareRows& spares = spare_rows();
    std::lock_guard lock(spares.mutex);
    if (spares.kept_bytes + rows.capacity() > kMostKeptBytes) return;
    try {
        spares.buffers.push_back(std::move(rows));
    } catch (...) {
        return;  // out of memory: the room is freed instead of kept
    }
    spares.kept_bytes += spares.buffers.back().capacity();
}

}  // namespace marlinox::command
