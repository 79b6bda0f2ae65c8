#include "command/process/progress.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "command/process/terminal.hpp"

namespace marlinox::command {
namespace {

std::string human_bytes(double bytes) {
    static constexpr const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    std::size_t unit = 0;
    while (bytes >= 1000.0 && unit + 1 < std::size(units)) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace

bool progress_wanted() {
    if (::isatty(2) == 0) return false;
    if (::isatty(1) == 0) return true;
    struct stat out {};
    struct stat err {};
    if (::fstat(1, &out) != 0 || ::fstat(2, &err) != 0) return false;
    return out.st_rdev != err.st_rdev;
}

std::optional<std::uint64_t> total_file_size(const std::vector<std::string>& files) {
    std::uint64_t total = 0;
    for (const std::string& file : files) {
        struct stat info {};
        const int status = file == "-" ? ::fstat(0, &info) : ::stat(file.c_str(), &info);
        if (status != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        total += static_cast<std::uint64_t>(info.st_size);
    }
    return total;
}

Progress::Progress(bool enabled, std::optional<std::uint64_t> total_bytes) : total_bytes_(total_bytes) {
    if (enabled) thread_.emplace("marlinox-prog", fault_injection::Fault::progress_thread, [this] { request_stop(); }, [this] { run(); });
}

Progress::~Progress() { stop(); }

void Progress::request_stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

void Progress::stop() {
    request_stop();
    thread_.reset();
    std::lock_guard lock(terminal_mutex());
    clear_progress_line_locked();
}

void Progress::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; })) {
        const std::string text = "\r\x1b[K" + line();
        std::lock_guard terminal(terminal_mutex());
        (void)write_all(2, text);
        set_progress_line_shown(true);
    }
}

std::string Progress::line() const {
    const std::uint64_t records = records_.load(std::memory_order_relaxed);
    const std::uint64_t bytes = bytes_.load(std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
    char text[160];
    int used = std::snprintf(text, sizeof text, "marlinox: %" PRIu64 " records, %s read, %s/s", records,
                             human_bytes(static_cast<double>(bytes)).c_str(), human_bytes(rate).c_str());
    if (total_bytes_ && *total_bytes_ > 0 && used > 0 && static_cast<std::size_t>(used) < sizeof text) {
        const double done = static_cast<double>(bytes) / static_cast<double>(*total_bytes_);
        const double left = rate > 0 ? static_cast<double>(*total_bytes_ - std::min(bytes, *total_bytes_)) / rate : 0.0;
        std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), ", %.0f%%, %.0f s left",
                      100.0 * std::min(done, 1.0), left);
    }
    return text;
}

}  // namespace marlinox::command
