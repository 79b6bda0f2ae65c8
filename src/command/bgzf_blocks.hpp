// BGZF blocks, decoded in runs: the gzip decoder copies consecutive whole
// blocks out of the file into a run, the run is inflated with libdeflate
// (every block's CRC checked) on a pool of threads or on the calling thread,
// and runs come back in file order. Every block is seen, so a cut or damaged
// stream is found whatever the number of threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

struct libdeflate_decompressor;

namespace marlinox::command {

struct DecompressorFree {
    void operator()(libdeflate_decompressor* decompressor) const noexcept;
};
using DecompressorPtr = std::unique_ptr<libdeflate_decompressor, DecompressorFree>;
DecompressorPtr make_decompressor();

inline constexpr std::size_t kBgzfHeaderSize = 18;
inline constexpr std::size_t kBgzfLargestBlock = 65536;

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

    std::size_t threads() const noexcept { return workers_.size(); }
    void submit(BlockRun& run);
    void wait(BlockRun& run);
    // Takes `run` off the queue, or waits until its decoding is over.
    void withdraw(BlockRun& run) noexcept;

private:
    void work(std::stop_token stop, libdeflate_decompressor* decompressor);

    std::mutex mutex_;
    std::condition_variable_any queued_;
    std::condition_variable finished_;
    std::deque<BlockRun*> queue_;
    std::vector<DecompressorPtr> decompressors_;
    std::vector<std::jthread> workers_;  // last: stopped and joined first
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
