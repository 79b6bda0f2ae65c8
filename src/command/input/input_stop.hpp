// Stopping the reading of the input from another thread. A read from a pipe,
// a FIFO or a terminal may wait forever (`tail -f`, a stalled producer); once
// the table can no longer be written, nothing read is of use, so every read
// of the input goes through read_unless_stopped and gives up at once.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace marlinox::command {

// From now on every read_unless_stopped, waiting or not, throws Cancelled.
void stop_reading_input() noexcept;

// read(2) of `fd` into `buffer` (up to `size` bytes) that waits for bytes or
// the end of the input, but not past stop_reading_input(). Returns the count
// read (0 at the end), or -1 with errno set; retries interrupted calls.
ssize_t read_unless_stopped(int fd, char* buffer, std::size_t size);

}  // namespace marlinox::command
