#include "command/process/exit_on_signals.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>

#include "command/failures/failure_report.hpp"
#include "command/process/terminal.hpp"

namespace marlinox::command {
namespace {

// How long a write may go without taking a byte before its reader counts as
// one that has stopped reading.
constexpr std::chrono::seconds kStalledOutput{1};

// Waits for the row block being written while the output takes its bytes,
// then ends the process. A reader that has stopped reading would keep the
// block unfinished forever: the process then ends in the middle of it.
[[noreturn]] void exit_between_writes(int signal) {
    std::uint64_t written = bytes_written();
    while (!terminal_mutex().try_lock_for(kStalledOutput)) {
        const std::uint64_t now = bytes_written();
        if (now == written) {
            clear_progress_line_unless_stuck();
            ::_exit(exit_status_of_signal(signal));
        }
        written = now;
    }
    clear_progress_line_locked();
    ::_exit(exit_status_of_signal(signal));
}

}  // namespace

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
                    exit_between_writes(static_cast<int>(info.ssi_signo));
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
