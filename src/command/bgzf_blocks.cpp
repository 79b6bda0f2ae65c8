#include "command/bgzf_blocks.hpp"

#include <pthread.h>

#include <algorithm>
#include <new>

#include <libdeflate.h>

namespace marlinox::command {
namespace {

std::uint32_t little_endian(const unsigned char* p, int bytes) noexcept {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

}  // namespace

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
        // The decoder framed the run: every block is whole and at least 26 bytes.
        const std::size_t block_size = little_endian(p + 16, 2) + 1;
        const std::uint32_t crc = little_endian(p + block_size - 8, 4);
        const std::uint32_t length = little_endian(p + block_size - 4, 4);
        if (length > run.output_capacity - out) {
            run.failure = "corrupt BGZF data: a block claims more than 64 KiB";
            break;
        }
        char* const target = run.output.get() + out;
        if (libdeflate_deflate_decompress(decompressor, p + kBgzfHeaderSize, block_size - 26, target, length,
                                          nullptr) != LIBDEFLATE_SUCCESS) {
            run.failure = "corrupt BGZF data: a block does not inflate to its stated length";
            break;
        }
        if (static_cast<std::uint32_t>(libdeflate_crc32(0, target, length)) != crc) {
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
    workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i)
        workers_.emplace_back([this, decompressor = decompressors_[i].get()](std::stop_token stop) {
            pthread_setname_np(pthread_self(), "marlinox-bgzf");
            work(stop, decompressor);
        });
}

BgzfPool::~BgzfPool() {
    for (std::jthread& worker : workers_) worker.request_stop();
    workers_.clear();
}

void BgzfPool::work(std::stop_token stop, libdeflate_decompressor* decompressor) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!queued_.wait(lock, stop, [&] { return !queue_.empty(); })) return;
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
