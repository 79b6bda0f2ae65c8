#include "command/process/terminal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

namespace marlinox::command {
namespace {

// A pipe's default capacity on Linux.
constexpr std::size_t kLargestWrite = std::size_t{64} << 10;

std::atomic<bool> progress_shown{false};
std::atomic<std::uint64_t> written{0};

}  // namespace

std::timed_mutex& terminal_mutex() {
    static std::timed_mutex mutex;
    return mutex;
}

int write_all(int fd, std::string_view bytes) noexcept {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, std::min(left, kLargestWrite));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        written.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

void hold_standard_descriptors() {
    for (const int fd : {0, 1, 2}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: `fd` itself, the lower ones being open.
        (void)::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    }
}

void report_error(std::string_view what) {
    std::string line = "error: ";
    line += what;
    line += '\n';
    std::lock_guard lock(terminal_mutex());
    clear_progress_line_locked();
    (void)write_all(2, line);
}

void clear_progress_line_locked() noexcept {
    if (progress_shown.exchange(false)) (void)write_all(2, "\r\x1b[K");
}

void clear_progress_line_unless_stuck() noexcept {
    pollfd error_output{2, POLLOUT, 0};
    if (::poll(&error_output, 1, 0) == 1 && (error_output.revents & POLLOUT) != 0) clear_progress_line_locked();
}

std::uint64_t bytes_written() noexcept { return written.load(std::memory_order_relaxed); }

void set_progress_line_shown(bool shown) noexcept { progress_shown.store(shown); }

}  // namespace marlinox::command
