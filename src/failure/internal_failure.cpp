#include "failure/internal_failure.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace marlinox {
namespace {

void write_all(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) return;  // nothing sensible to do when stderr is gone
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        return "<unnamed>";
    return name;
}

std::atomic<bool> hint_printed{false};

}  // namespace

void fail(std::string message, std::source_location where) {
    std::string text = "thread '" + current_thread_name() + "' failed at " + where.file_name() +
                       ":" + std::to_string(where.line()) + ":\n" + message + "\n";
    if (!hint_printed.exchange(true))
        text += "note: run with `MARLINOX_BACKTRACE=1` environment variable to display a backtrace\n";
    write_all(2, text);
    throw InternalFailure(std::move(message));
}

void resume_failure(std::string message) { throw InternalFailure(std::move(message)); }

}  // namespace marlinox
