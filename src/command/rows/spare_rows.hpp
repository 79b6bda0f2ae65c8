// Strings that held written rows, kept for the workers to fill again: their
// pages are already mapped, where a fresh megabyte from the allocator costs
// the kernel a fault and a zeroed page for every 4 KiB of rows.
#pragma once

#include <cstddef>
#include <string>

namespace marlinox::command {

// An empty string with room for at least `capacity` bytes, a spare one when
// there is one.
std::string take_row_buffer(std::size_t capacity);

// Keeps `rows`' room for take_row_buffer, up to a bound on all kept room.
void give_row_buffer(std::string&& rows) noexcept;

}  // namespace marlinox::command
