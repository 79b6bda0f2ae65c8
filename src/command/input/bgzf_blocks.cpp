#include "command/input/bgzf_blocks.hpp"

#include <algorithm>
#include <new>

#include <libdeflate.h>

namespace marlinox::command {

void DecompressorFree::operator()(libdeflate_decompressor* decompressor) const noexcept {
    libdeflate_free_decompressor(decompressor);
}

DecompressorPtr make_decompressor() {
    DecompressorPtr decompressor(libdeflate_alloc_decompressor());
    if (!decompressor) throw std::bad_alloc();
    return decompressor;
}

void BlockRun::reserve_output(std::size_t total) {
    if (total <= output_capacity) return;
    output.reset(new char[total]);
    output_capacity = total;
}

void decode_run(BlockRun& run, libdeflate_decompressor* decompressor) noexcept {
    const unsigned char* p = run.compressed.data();
    const unsigned char* const end = p + run.compressed.size();
    std::size_t out = 0;
    run.failure = nullptr;
    while (p != end) {
        // The decoder framed the run: every block is whole and at least
        // kBgzfEndBlockSize bytes.
        const std::size_t block_size = bgzf_stated_size(p);
        const std::uint32_t length = bgzf_length(p, block_size);
        if (length > run.output_capacity - out) {
            run.failure = "corrupt BGZF data: a block claims more than 64 KiB";
            break;
        }
        char* const target = run.output.get() + out;
        if (libdeflate_deflate_decompress(decompressor, p + kBgzfHeaderSize, bgzf_deflate_size(block_size), target, length,
                                          nullptr) != LIBDEFLATE_SUCCESS) {
            run.failure = "corrupt BGZF data: a block does not inflate to its stated length";
            break;
        }
        if (static_cast<std::uint32_t>(libdeflate_crc32(0, target, length)) != bgzf_crc(p, block_size)) {
            run.failure = "corrupt BGZF data: checksum mismatch";
            break;
        }
        out += length;
        p += block_size;
    }
    run.decoded = out;
}

BgzfPool::BgzfPool(std::size_t threads) {
    decompressors_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) decompressors_.push_back(make_decompressor());
    for (const DecompressorPtr& decompressor : decompressors_)
        workers_.emplace_back("marlinox-bgzf", fault_injection::Fault::bgzf_thread, [this] { request_stop(); },
                              [this, raw = decompressor.get()] { work(raw); });
}

BgzfPool::~BgzfPool() { workers_.clear(); }

void BgzfPool::request_stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
}

void BgzfPool::work(libdeflate_decompressor* decompressor) {
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [&] { return !queue_.empty() || stopping_; });
        if (stopping_) return;
        BlockRun* run = queue_.front();
        queue_.pop_front();
        lock.unlock();
        decode_run(*run, decompressor);
        lock.lock();
        run->done = true;
        finished_.notify_all();
    }
}

void BgzfPool::submit(BlockRun& run) {
    {
        std::lock_guard lock(mutex_);
        run.done = false;
        queue_.push_back(&run);
    }
    queued_.notify_one();
}

void BgzfPool::wait(BlockRun& run) {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return run.done; });
}

void BgzfPool::withdraw(BlockRun& run) noexcept {
    std::unique_lock lock(mutex_);
    if (const auto queued = std::find(queue_.begin(), queue_.end(), &run); queued != queue_.end()) {
        queue_.erase(queued);
        return;
    }
    finished_.wait(lock, [&] { return run.done; });
}

// Two runs per thread keep every thread busy while the reader drains one;
// decoding further ahead only pushes the decoded bytes out of the caches
// before the reader copies them.
BlockRuns::BlockRuns(BgzfPool* pool)
    : pool_(pool), limit_(pool != nullptr ? std::min<std::size_t>(2 * pool->threads(), 8) : 1) {
    if (pool_ == nullptr) own_ = make_decompressor();
}

BlockRuns::~BlockRuns() {
    if (pool_ != nullptr)
        for (const auto& run : in_flight_) pool_->withdraw(*run);
}

BlockRun& BlockRuns::start() {
    if (!starting_) {
        if (!spare_.empty()) {
            starting_ = std::move(spare_.back());
            spare_.pop_back();
        } else {
            starting_ = std::make_unique<BlockRun>();
        }
    }
    starting_->compressed.clear();
    starting_->blocks = 0;
    return *starting_;
}

void BlockRuns::submit() {
    in_flight_.push_back(std::move(starting_));
    if (pool_ != nullptr) pool_->submit(*in_flight_.back());
}

BlockRun& BlockRuns::next() {
    if (taken_) spare_.push_back(std::move(taken_));
    taken_ = std::move(in_flight_.front());
    in_flight_.pop_front();
    if (pool_ != nullptr)
        pool_->wait(*taken_);
    else
        decode_run(*taken_, own_.get());
    return *taken_;
}

}  // namespace marlinox::command
