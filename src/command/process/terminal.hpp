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

// Opens /dev/null in place of a closed standard input, output or error, so
// that no descriptor of the command's own takes their numbers; each is opened
// the other way round (standard output for reading), so that using it fails
// as using the closed one would (EBADF).
void hold_standard_descriptors();

// Writes "error: <what>\n" to standard error.
void report_error(std::string_view what);

// Clears a progress line from standard error; the caller holds terminal_mutex.
void clear_progress_line_locked() noexcept;
void set_progress_line_shown(bool shown) noexcept;

}  // namespace marlinox::command
