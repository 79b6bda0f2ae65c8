#include "command/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>

#include "command/gzip_source.hpp"
#include "command/hts_handles.hpp"
#include "command/input_error.hpp"
#include "command/input_stop.hpp"

namespace marlinox::command {
namespace {

class PlainSource final : public ByteSource {
public:
    PlainSource(HfilePtr file, int fd) : file_(std::move(file)), fd_(fd) {}

    // First the bytes the format check left in the hFILE's buffer, then the
    // descriptor itself, so that a read that waits can be stopped.
    std::size_t read(char* buffer, std::size_t size) override {
        hFILE& file = *file_;
        std::size_t n = 0;
        if (file.begin < file.end) {
            n = std::min(size, static_cast<std::size_t>(file.end - file.begin));
            std::memcpy(buffer, file.begin, n);
            file.begin += n;
        } else {
            const ssize_t count = read_unless_stopped(fd_, buffer, size);
            if (count < 0) throw StreamError(std::string("read failed: ") + std::strerror(errno));
            n = static_cast<std::size_t>(count);
        }
        position_ += n;
        return n;
    }
    std::uint64_t file_position() const override { return position_; }

private:
    HfilePtr file_;
    int fd_;
    std::uint64_t position_ = 0;
};

// BGZF, its blocks inflated on several threads.
class BgzfSource final : public ByteSource {
public:
    BgzfSource(HfilePtr file, hts_tpool* threads) : bgzf_(bgzf_hopen(file.get(), "r")) {
        if (!bgzf_) throw StreamError("cannot start decompressing");
        (void)file.release();  // bgzf_ owns it now
        // A BGZF stream ends with an empty block; without it the file was cut
        // off at a block boundary. Only a file that can seek can be checked
        // up front, and the threaded reader does not tell when it met it.
        const int end_block = bgzf_check_EOF(bgzf_.get());
        end_block_missing_ = end_block == 0;
        check_end_block_at_end_ = end_block == 2 && threads == nullptr;
        if (threads != nullptr && bgzf_thread_pool(bgzf_.get(), threads, 0) != 0)
            throw StreamError("cannot start the decompression threads");
    }

    std::size_t read(char* buffer, std::size_t size) override {
        const ssize_t n = bgzf_read(bgzf_.get(), buffer, size);
        if (n < 0) throw StreamError("corrupt or truncated BGZF data");
        if (n == 0 && !bgzf_->is_gzip && (end_block_missing_ || (check_end_block_at_end_ && !bgzf_->last_block_eof)))
            throw StreamError("truncated BGZF data: the end-of-file block is missing");
        position_ = static_cast<std::uint64_t>(bgzf_tell(bgzf_.get()) >> 16);
        return static_cast<std::size_t>(n);
    }
    std::uint64_t file_position() const override { return position_; }

private:
    BgzfPtr bgzf_;
    bool end_block_missing_ = false;
    bool check_end_block_at_end_ = false;
    std::uint64_t position_ = 0;
};

// htslib reads none of these; it names some but fails on others, so their
// magic bytes are checked here.
const char* unsupported_compression(hFILE* file) {
    static constexpr struct {
        std::string_view magic;
        const char* name;
    } kinds[] = {
        {"BZh", "bzip2"},
        {std::string_view("\xfd" "7zXZ\x00", 6), "xz"},
        {"\x28\xb5\x2f\xfd", "zstd"},
    };
    char start[8] = {};
    const ssize_t n = hpeek(file, start, sizeof start);
    if (n < 0) return nullptr;  // the format check reports the read error
    const std::string_view head(start, static_cast<std::size_t>(n));
    for (const auto& kind : kinds)
        if (head.starts_with(kind.magic)) return kind.name;
    return nullptr;
}

const char* unsupported_format(htsExactFormat format) {
    switch (format) {
        case bam: return "BAM";
        case cram: return "CRAM";
        case bcf: return "BCF";
        default: return nullptr;
    }
}

}  // namespace

std::unique_ptr<ByteSource> open_byte_source(const std::string& path,
                                             const std::function<hts_tpool*()>& threads) {
    if (path != "-") {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) throw InputError(path, 0, std::strerror(errno));
        if (S_ISDIR(info.st_mode)) throw InputError(path, 0, "is a directory");
    }
    // The name is a local path, never a URL or another scheme htslib knows.
    const int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw InputError(path, 0, std::strerror(errno));
    HfilePtr file(hdopen(fd, "r"));
    if (!file) {
        const int error = errno;
        if (fd != 0) ::close(fd);
        throw InputError(path, 0, std::strerror(error));
    }

    if (const char* name = unsupported_compression(file.get()))
        throw InputError(path, 0, std::string(name) + "-compressed input is not supported");
    htsFormat format{};
    errno = 0;
    if (hts_detect_format2(file.get(), nullptr, &format) < 0)
        throw InputError(path, 0, std::string("cannot read: ") + std::strerror(errno));
    if (const char* name = unsupported_format(format.format))
        throw InputError(path, 0, std::string(name) + " input is not supported (FASTA or FASTQ expected)");

    try {
        switch (format.compression) {
            case gzip: return open_gzip_source(file);
            case bgzf: return std::make_unique<BgzfSource>(std::move(file), threads());
            default: return std::make_unique<PlainSource>(std::move(file), fd);
        }
    } catch (const StreamError& error) {
        throw InputError(path, 0, error.what());
    }
}

}  // namespace marlinox::command
