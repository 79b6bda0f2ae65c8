// A progress line on standard error: records, bytes read, rate and, when the
// size of the input is known, percent done and time left; redrawn a few
// times a second and cleared at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "command/process/owned_thread.hpp"

namespace marlinox::command {

// Whether to draw it: standard error is a terminal and standard output is
// not that same terminal.
bool progress_wanted();

// The size of all of `files` ("-": standard input), when every one is a
// regular file.
std::optional<std::uint64_t> total_file_size(const std::vector<std::string>& files);

class Progress {
public:
    // Without `enabled` only the counters are kept. `total_bytes`: the size
    // of all input files, when known (total_file_size).
    Progress(bool enabled, std::optional<std::uint64_t> total_bytes);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(std::uint64_t records, std::uint64_t bytes) noexcept {
        records_.store(records, std::memory_order_relaxed);
        bytes_.store(bytes, std::memory_order_relaxed);
    }
    // Stops redrawing and clears the line.
    void stop();

private:
    void request_stop();
    void run();
    std::string line() const;

    std::optional<std::uint64_t> total_bytes_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<std::uint64_t> records_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::optional<OwnedThread> thread_;
};

}  // namespace marlinox::command
