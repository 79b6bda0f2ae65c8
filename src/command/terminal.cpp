#include "command/terminal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

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

ExitOnSignals::ExitOnSignals() {
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&handled, signal);
    }
    if (const int error = pthread_sigmask(SIG_BLOCK, &handled, &previous_mask_); error != 0)
        throw std::system_error(error, std::generic_category(), "cannot block the termination signals");
    try {
        signals_ = UniqueFd(::signalfd(-1, &handled, SFD_CLOEXEC));
        wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC));
        if (!signals_ || !wake_) throw std::system_error(errno, std::generic_category(), "cannot wait for signals");
        thread_.emplace(
            "marlinox-signal", fault_injection::Fault::signal_thread,
            [this] {
                const std::uint64_t one = 1;
                (void)::write(wake_.get(), &one, sizeof one);
            },
            [this] {
                pollfd waits[2] = {{signals_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
                for (;;) {
                    if (::poll(waits, 2, -1) < 0) {
                        if (errno == EINTR) continue;
                        return;
                    }
                    if (waits[1].revents != 0) return;
                    signalfd_siginfo info{};
                    if (::read(signals_.get(), &info, sizeof info) != sizeof info) continue;
                    // Waits for the row block being written, then stops everything.
                    terminal_mutex().lock();
                    clear_progress_line_locked();
                    ::_exit(128 + static_cast<int>(info.ssi_signo));
                }
            });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
        throw;
    }
}

ExitOnSignals::~ExitOnSignals() {
    thread_.reset();
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

}  // namespace marlinox::command
