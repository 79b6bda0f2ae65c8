#include "failure/internal_failure.hpp"

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <string>

namespace marlinox {
namespace {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        return "<unnamed>";
    return name;
}

std::atomic<bool> hint_printed{false};
std::atomic<bool> diagnostics_silenced{false};

bool backtrace_requested() {
    const char* value = std::getenv("MARLINOX_BACKTRACE");
    return value && *value && std::string_view(value) != "0";
}

// Frames as "object(symbol+offset) [address]"; frames inside the module show
// object offsets, which `addr2line -e <module> -f -C <offset>` resolves.
void write_backtrace() {
    void* frames[128];
    int depth = ::backtrace(frames, 128);
    write_stderr("stack backtrace:\n");
    ::backtrace_symbols_fd(frames, depth, 2);
}

}  // namespace

void fail(std::string message, std::source_location where) {
    if (diagnostics_silenced.load(std::memory_order_relaxed)) throw InternalFailure(std::move(message));
    std::string text = "thread '" + current_thread_name() + "' failed at " + where.file_name() +
                       ":" + std::to_string(where.line()) + ":\n" + message + "\n";
    if (!hint_printed.exchange(true))
        text += "note: run with `MARLINOX_BACKTRACE=1` environment variable to display a backtrace\n";
    write_stderr(text);
    if (backtrace_requested()) write_backtrace();
    throw InternalFailure(std::move(message));
}

void silence_failure_diagnostics() noexcept { diagnostics_silenced.store(true, std::memory_order_relaxed); }

void resume_failure(std::string message) { throw InternalFailure(std::move(message)); }

void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = ::write(2, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace marlinox
