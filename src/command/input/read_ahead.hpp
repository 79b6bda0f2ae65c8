// Decodes a regular file a ring of pieces ahead of the parser, on a thread of
// its own, so that decoding (or copying from the page cache) and parsing
// overlap. Once the ring is full, the thread waits until half of it is free
// again: one wake-up per half ring, however small the pieces.
// Not for pipes or terminals: a read from them may wait forever, and the
// destructor waits for the read in progress.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "command/input/byte_source.hpp"
#include "command/input/decoder.hpp"
#include "command/process/owned_thread.hpp"

namespace marlinox::command {

class ReadAhead final : public ByteSource {
public:
    // At least two pieces. Throws std::system_error when the system refuses
    // the thread.
    ReadAhead(std::unique_ptr<Decoder> decoder, std::size_t piece_size, std::size_t piece_count);
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    std::string_view next() override;
    std::uint64_t file_position() const override { return position_; }

private:
    struct Piece {
        std::unique_ptr<char[]> data;
        std::size_t size = 0;
        std::uint64_t position = 0;
        std::exception_ptr failure;
        bool filled = false;
    };

    void fill();
    void request_stop();

    std::unique_ptr<Decoder> decoder_;
    std::size_t piece_size_;
    std::vector<Piece> pieces_;
    std::size_t filled_ = 0;  // pieces filled and not yet released, the one held included
    std::size_t next_ = 0;
    bool holding_ = false;  // the consumer holds the piece before next_
    std::uint64_t position_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::optional<OwnedThread> thread_;  // last: started once everything it uses exists, stopped first
};

}  // namespace marlinox::command
