#include "command/input/read_ahead.hpp"

#include <algorithm>

namespace marlinox::command {

ReadAhead::ReadAhead(std::unique_ptr<Decoder> decoder, std::size_t piece_size, std::size_t piece_count)
    : decoder_(std::move(decoder)), piece_size_(piece_size), pieces_(std::max<std::size_t>(piece_count, 2)) {
    for (Piece& piece : pieces_) piece.data.reset(new char[piece_size]);
    thread_.emplace("marlinox-fetch", fault_injection::Fault::read_ahead_thread, [this] { request_stop(); },
                    [this] { fill(); });
}

void ReadAhead::request_stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

void ReadAhead::fill() {
    const std::size_t count = pieces_.size();
    for (std::size_t index = 0;; index = (index + 1) % count) {
        Piece& piece = pieces_[index];
        {
            std::unique_lock lock(mutex_);
            // The filled pieces follow each other around the ring, so this
            // one is free whenever the ring is not full.
            if (piece.filled)
                changed_.wait(lock, [&] { return (!piece.filled && filled_ <= count / 2) || stopping_; });
            if (stopping_) return;
        }
        std::size_t size = 0;
        std::exception_ptr failure;
        try {
            size = decoder_->read(piece.data.get(), piece_size_);
        } catch (...) {
            failure = std::current_exception();
        }
        const std::uint64_t position = decoder_->file_position();
        {
            std::lock_guard lock(mutex_);
            piece.size = size;
            piece.position = position;
            piece.failure = failure;
            piece.filled = true;
            ++filled_;
        }
        changed_.notify_all();
        if (size == 0 || failure) return;
    }
}

std::string_view ReadAhead::next() {
    std::unique_lock lock(mutex_);
    const std::size_t count = pieces_.size();
    if (holding_) {
        pieces_[(next_ + count - 1) % count].filled = false;
        if (--filled_ == count / 2) changed_.notify_all();
    }
    Piece& piece = pieces_[next_];
    changed_.wait(lock, [&] { return piece.filled; });
    if (piece.failure) std::rethrow_exception(piece.failure);
    if (piece.size == 0) {
        holding_ = false;
        return {};
    }
    holding_ = true;
    next_ = (next_ + 1) % count;
    position_ = piece.position;
    return {piece.data.get(), piece.size};
}

}  // namespace marlinox::command
