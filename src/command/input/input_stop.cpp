#include "command/input/input_stop.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "command/failures/failures.hpp"
#include "command/process/unique_fd.hpp"

namespace marlinox::command {
namespace {

// Readable once the input is to be stopped; it stays so.
int stop_event() {
    static const UniqueFd event = [] {
        UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!fd) throw std::system_error(errno, std::generic_category(), "cannot create the input stop event");
        return fd;
    }();
    return event.get();
}

}  // namespace

void stop_reading_input() noexcept {
    try {
        const std::uint64_t one = 1;
        (void)::write(stop_event(), &one, sizeof one);
    } catch (...) {
        // Without the event no read can wait on it either.
    }
}

ssize_t read_unless_stopped(int fd, char* buffer, std::size_t size) {
    pollfd waits[2] = {{fd, POLLIN, 0}, {stop_event(), POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (waits[1].revents != 0) throw Cancelled{};
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN)) return n;
    }
}

}  // namespace marlinox::command
