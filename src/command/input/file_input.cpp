#include "command/input/file_input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "command/failures/failures.hpp"
#include "command/input/input_stop.hpp"

namespace marlinox::command {

FileInput::FileInput(const std::string& path) : buffer_(new unsigned char[kCapacity]) {
    if (path == "-") {
        fd_ = 0;
    } else {
        // Opened without blocking, a FIFO does not wait here for a writer: it
        // polls readable only once one has come, so the first read waits for
        // it, and gives up when the run stops.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) throw InputError(path, 0, std::strerror(errno));
        owned_ = true;
        // Every read waits in read_unless_stopped first; the read itself
        // blocks, as devices and other special files expect.
        if (const int flags = ::fcntl(fd_, F_GETFL); flags == -1 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) == -1) {
            const int error = errno;
            ::close(fd_);
            throw InputError(path, 0, std::strerror(error));
        }
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        const int error = errno;
        if (owned_) ::close(fd_);
        throw InputError(path, 0, std::strerror(error));
    }
    if (S_ISDIR(info.st_mode)) {
        if (owned_) ::close(fd_);
        throw InputError(path, 0, "is a directory");
    }
    regular_ = S_ISREG(info.st_mode);
}

FileInput::~FileInput() {
    if (owned_) ::close(fd_);
}

bool FileInput::fill() {
    if (begin_ != 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == kCapacity) return true;
    const std::size_t n = read_some(buffer_.get() + end_, kCapacity - end_);
    end_ += n;
    return n > 0;
}

// Every read may wait (a pipe, a FIFO, a terminal) and gives up once the
// table can no longer be written.
std::size_t FileInput::read_some(unsigned char* buffer, std::size_t size) {
    const ssize_t n = read_unless_stopped(fd_, reinterpret_cast<char*>(buffer), size);
    if (n < 0) throw StreamError(std::string("read failed: ") + std::strerror(errno));
    return static_cast<std::size_t>(n);
}

std::size_t FileInput::read_into(char* buffer, std::size_t size) {
    if (this->size() != 0) {
        const std::size_t n = std::min(size, this->size());
        std::memcpy(buffer, data(), n);
        consume(n);
        return n;
    }
    const std::size_t n = read_some(reinterpret_cast<unsigned char*>(buffer), size);
    consumed_ += n;
    return n;
}

bool FileInput::ensure(std::size_t count) {
    while (size() < count)
        if (!fill()) return false;
    return true;
}

}  // namespace marlinox::command
