#include "command/terminal.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

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

void exit_on_interrupt() {
    // A shell that starts us in the background ignores Ctrl-C for us: keep it so.
    struct sigaction current {};
    if (sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) return;
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
    std::thread([interrupt] {
        int signal = 0;
        while (sigwait(&interrupt, &signal) != 0) {
        }
        // Waits for the row block being written, then stops everything.
        terminal_mutex().lock();
        clear_progress_line_locked();
        ::_exit(128 + SIGINT);
    }).detach();
}

}  // namespace marlinox::command
