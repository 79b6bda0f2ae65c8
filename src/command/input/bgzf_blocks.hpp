// BGZF blocks, decoded in runs: the gzip decoder copies consecutive whole
// blocks out of the file into a run, the run is inflated with libdeflate
// (every block's CRC checked) on a pool of threads or on the calling thread,
// and runs come back in file order. Every block is seen, so a cut or damaged
// stream is found whatever the number of threads.
// BGZF has a pool of its own beside the module's worker pool: that pool maps
// a whole batch while its caller blocks, where the reader hands runs over,
// goes on framing the next ones and takes each back, decoded, in file order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "command/process/owned_thread.hpp"

struct libdeflate_decompressor;

namespace marlinox::command {

struct DecompressorFree {
    void operator()(libdeflate_decompressor* decompressor) const noexcept;
};
using DecompressorPtr = std::unique_ptr<libdeflate_decompressor, DecompressorFree>;
DecompressorPtr make_decompressor();

// A BGZF block is a gzip member whose header holds one extra field, "BC",
// with the block's size less one; the deflate data follow the header and the
// member's trailer closes it: CRC-32 of the block's bytes, then their count.
inline constexpr std::size_t kBgzfHeaderSize = 18;
inline constexpr std::size_t kBgzfTrailerSize = 8;
// The empty block that ends a BGZF file: two bytes of deflate data.
inline constexpr std::size_t kBgzfEndBlockSize = kBgzfHeaderSize + 2 + kBgzfTrailerSize;
// Most bytes a block holds.
inline constexpr std::size_t kBgzfLargestBlock = 65536;

inline std::uint32_t little_endian(const unsigned char* p, std::size_t bytes) noexcept {
    std::uint32_t value = 0;
    for (std::size_t i = bytes; i-- > 0;) value = value << 8 | p[i];
    return value;
}
// The size of the block whose header (kBgzfHeaderSize bytes of a gzip member)
// starts at `block`, as its header states it.
inline std::size_t bgzf_stated_size(const unsigned char* block) noexcept { return little_endian(block + 16, 2) + 1; }
// The same, or 0 when the member that starts at `header` is not a BGZF block.
inline std::size_t bgzf_block_size(const unsigned char* header) noexcept {
    const bool bgzf = header[2] == 8 && header[3] == 4 && little_endian(header + 10, 2) == 6 && header[12] == 'B' &&
                      header[13] == 'C' && little_endian(header + 14, 2) == 2;
    return bgzf ? bgzf_stated_size(header) : 0;
}
// Of the whole block of `size` bytes at `block`: its CRC-32, the count of
// bytes it holds, and its deflate data.
inline std::uint32_t bgzf_crc(const unsigned char* block, std::size_t size) noexcept {
    return little_endian(block + size - kBgzfTrailerSize, 4);
}
inline std::uint32_t bgzf_length(const unsigned char* block, std::size_t size) noexcept {
    return little_endian(block + size - 4, 4);
}
inline std::size_t bgzf_deflate_size(std::size_t size) noexcept { return size - kBgzfHeaderSize - kBgzfTrailerSize; }

struct BlockRun {
    std::vector<unsigned char> compressed;  // whole blocks, back to back
    std::size_t blocks = 0;
    std::unique_ptr<char[]> output;
    std::size_t output_capacity = 0;
    std::size_t decoded = 0;          // output bytes of the blocks that checked out
    const char* failure = nullptr;    // why the block after those failed
    bool done = false;                // guarded by the pool's mutex

    // Makes room for the output of blocks claiming `total` bytes.
    void reserve_output(std::size_t total);
};

// Inflates the blocks of `run` in order, stopping at the first bad one.
void decode_run(BlockRun& run, libdeflate_decompressor* decompressor) noexcept;

class BgzfPool {
public:
    // Throws (std::system_error, std::bad_alloc) when a thread can't be
    // started; the threads started before are stopped and joined.
    explicit BgzfPool(std::size_t threads);
    ~BgzfPool();
    BgzfPool(const BgzfPool&) = delete;
    BgzfPool& operator=(const BgzfPool&) = delete;

    std::size_t threads() const noexcept { return decompressors_.size(); }
    void submit(BlockRun& run);
    void wait(BlockRun& run);
    // Takes `run` off the queue, or waits until its decoding is over.
    void withdraw(BlockRun& run) noexcept;

private:
    void work(libdeflate_decompressor* decompressor);
    void request_stop();

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<BlockRun*> queue_;
    std::vector<DecompressorPtr> decompressors_;
    bool stopping_ = false;
    std::deque<OwnedThread> workers_;  // last: stopped and joined first
};

// The runs of one gzip input: started, submitted and taken back in order.
class BlockRuns {
public:
    explicit BlockRuns(BgzfPool* pool);
    ~BlockRuns();
    BlockRuns(const BlockRuns&) = delete;
    BlockRuns& operator=(const BlockRuns&) = delete;

    bool has_room() const noexcept { return in_flight_.size() < limit_; }
    bool pending() const noexcept { return !in_flight_.empty(); }
    // An empty run to fill, then submit().
    BlockRun& start();
    void submit();
    // The oldest submitted run, decoded; valid until the next call.
    BlockRun& next();

private:
    BgzfPool* pool_;
    std::size_t limit_;
    DecompressorPtr own_;  // without a pool
    std::unique_ptr<BlockRun> starting_;
    std::deque<std::unique_ptr<BlockRun>> in_flight_;
    std::unique_ptr<BlockRun> taken_;
    std::vector<std::unique_ptr<BlockRun>> spare_;
};

}  // namespace marlinox::command
