// Reads a byte source on a thread of its own, one piece ahead of the parser,
// so that inflating (or copying from the page cache) and parsing overlap.
// Only for regular files: a read from a pipe or a terminal may wait forever,
// and the destructor waits for the read in progress.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "command/byte_source.hpp"

namespace marlinox::command {

class ReadAhead {
public:
    ReadAhead(ByteSource& source, std::size_t piece_size);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next piece, valid until the next call; empty at the end. Rethrows
    // the source's failure.
    std::string_view next();
    // File position after the piece next() returned last.
    std::uint64_t position() const noexcept { return position_; }

private:
    struct Piece {
        std::unique_ptr<char[]> data;
        std::size_t size = 0;
        std::uint64_t position = 0;
        std::exception_ptr failure;
        bool filled = false;
    };

    void fill();

    ByteSource& source_;
    std::size_t piece_size_;
    std::array<Piece, 2> pieces_;
    std::size_t next_ = 0;
    bool holding_ = false;  // the consumer holds the piece before next_
    std::uint64_t position_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace marlinox::command
