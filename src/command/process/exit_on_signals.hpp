#pragma once

#include <signal.h>

#include <optional>

#include "command/process/owned_thread.hpp"
#include "command/process/unique_fd.hpp"

namespace marlinox::command {

// While it lives, Ctrl-C (SIGINT), SIGTERM and SIGHUP end the process with
// exit status 128 + the signal as soon as no row is being written, clearing
// the progress line first; a row block whose output has stopped taking bytes
// (its reader stopped reading) is left unfinished. A signal ignored at start (nohup, a shell's
// background job) stays ignored. Construct it before starting any other
// thread: the others inherit the blocked signals, which only its own thread
// takes.
class ExitOnSignals {
public:
    ExitOnSignals();
    ~ExitOnSignals();
    ExitOnSignals(const ExitOnSignals&) = delete;
    ExitOnSignals& operator=(const ExitOnSignals&) = delete;

private:
    sigset_t previous_mask_{};
    UniqueFd signals_;
    UniqueFd wake_;  // tells the thread to return
    std::optional<OwnedThread> thread_;
};

}  // namespace marlinox::command
