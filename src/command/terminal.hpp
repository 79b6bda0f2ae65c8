// Standard output and standard error: whole writes, and one lock that every
// writer takes so that neither an interruption nor the progress line ever
// cuts a row or an error line in half.
#pragma once

#include <mutex>
#include <string_view>

namespace marlinox::command {

std::mutex& terminal_mutex();

// Writes all of `bytes` to `fd`, continuing after partial writes and
// interrupted calls. Returns 0, or the errno of the failed write.
int write_all(int fd, std::string_view bytes) noexcept;

// Writes "error: <what>\n" to standard error.
void report_error(std::string_view what);

// From now on Ctrl-C ends the process with exit status 130 as soon as no row
// is being written, clearing the progress line first. Call before starting
// any other thread: the others inherit the blocked signal.
void exit_on_interrupt();

// Clears a progress line from standard error; the caller holds terminal_mutex.
void clear_progress_line_locked() noexcept;
void set_progress_line_shown(bool shown) noexcept;

}  // namespace marlinox::command
