#include "command/process/terminal.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace marlinox::command {
namespace {

std::atomic<bool> progress_shown{false};

}  // namespace

std::mutex& terminal_mutex() {
    static std::mutex mutex;
    return mutex;
}

int write_all(int fd, std::string_view bytes) noexcept {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
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

void set_progress_line_shown(bool shown) noexcept { progress_shown.store(shown); }

}  // namespace marlinox::command
