#include "command/gzip_source.hpp"

#ifdef MARLINOX_HAVE_ISAL

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <isa-l/igzip_lib.h>

#include "command/input_error.hpp"

namespace marlinox::command {
namespace {

const char* inflate_error(int status) {
    switch (status) {
        case ISAL_INVALID_WRAPPER: return "corrupt gzip data: bad member header";
        case ISAL_UNSUPPORTED_METHOD: return "corrupt gzip data: unknown compression method";
        case ISAL_INCORRECT_CHECKSUM: return "corrupt gzip data: checksum mismatch";
        default: return "corrupt gzip data";
    }
}

class IsalGzipSource final : public ByteSource {
public:
    explicit IsalGzipSource(HfilePtr file) : file_(std::move(file)), input_(new std::uint8_t[kInputSize]) {
        start_member();
    }

    std::size_t read(char* buffer, std::size_t size) override {
        const auto room = static_cast<std::uint32_t>(std::min<std::size_t>(size, std::numeric_limits<std::uint32_t>::max()));
        std::uint32_t produced = 0;
        while (produced == 0 && room != 0) {
            if (state_.block_state == ISAL_BLOCK_FINISH) {
                // A member has ended: the stream ends here or another member follows.
                if (state_.avail_in == 0 && !refill()) return 0;
                if (state_.next_in[0] != 0x1f) throw StreamError("unexpected data after the end of the gzip data");
                start_member();
            }
            if (state_.avail_in == 0 && !refill()) throw StreamError("truncated gzip data");
            state_.next_out = reinterpret_cast<std::uint8_t*>(buffer) + produced;
            state_.avail_out = room - produced;
            const int status = isal_inflate(&state_);
            if (status < 0 || status == ISAL_NEED_DICT) throw StreamError(inflate_error(status));
            produced = room - state_.avail_out;
        }
        return produced;
    }

    std::uint64_t file_position() const override { return consumed_ - state_.avail_in; }

private:
    static constexpr std::uint32_t kInputSize = 1u << 20;

    void start_member() {
        std::uint8_t* next_in = state_.next_in;
        const std::uint32_t avail_in = state_.avail_in;
        isal_inflate_init(&state_);
        state_.crc_flag = ISAL_GZIP;
        state_.next_in = next_in;
        state_.avail_in = avail_in;
    }

    // Reads more compressed bytes once every byte so far has been consumed;
    // false at the end of the file.
    bool refill() {
        const ssize_t n = hread(file_.get(), input_.get(), kInputSize);
        if (n < 0) throw StreamError(std::string("read failed: ") + std::strerror(errno));
        state_.next_in = input_.get();
        state_.avail_in = static_cast<std::uint32_t>(n);
        consumed_ += static_cast<std::uint64_t>(n);
        return n > 0;
    }

    HfilePtr file_;
    std::unique_ptr<std::uint8_t[]> input_;
    inflate_state state_{};
    std::uint64_t consumed_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> open_gzip_source(HfilePtr& file) {
    return std::make_unique<IsalGzipSource>(std::move(file));
}

const char* gzip_inflater_name() { return "ISA-L igzip"; }

}  // namespace marlinox::command

#else

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <zlib.h>

#include "command/input_error.hpp"

namespace marlinox::command {
namespace {

// zlib directly rather than through htslib, which takes a gzip stream cut off
// before its trailer for a complete one.
class ZlibGzipSource final : public ByteSource {
public:
    explicit ZlibGzipSource(HfilePtr file) : file_(std::move(file)), input_(new unsigned char[kInputSize]) {
        // 16: a gzip wrapper, whose trailer (CRC and length) zlib checks.
        if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) throw StreamError("cannot start decompressing");
    }
    ~ZlibGzipSource() override { inflateEnd(&stream_); }
    ZlibGzipSource(const ZlibGzipSource&) = delete;
    ZlibGzipSource& operator=(const ZlibGzipSource&) = delete;

    std::size_t read(char* buffer, std::size_t size) override {
        const auto room = static_cast<uInt>(std::min<std::size_t>(size, std::numeric_limits<uInt>::max()));
        uInt produced = 0;
        while (produced == 0 && room != 0) {
            if (member_done_) {
                // A member has ended: the stream ends here or another member follows.
                if (stream_.avail_in == 0 && !refill()) return 0;
                if (stream_.next_in[0] != 0x1f) throw StreamError("unexpected data after the end of the gzip data");
                if (inflateReset(&stream_) != Z_OK) throw StreamError("corrupt gzip data");
                member_done_ = false;
            }
            if (stream_.avail_in == 0 && !refill()) throw StreamError("truncated gzip data");
            stream_.next_out = reinterpret_cast<Bytef*>(buffer) + produced;
            stream_.avail_out = room - produced;
            const int status = inflate(&stream_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                member_done_ = true;
            } else if (status != Z_OK && status != Z_BUF_ERROR) {
                throw StreamError(status == Z_DATA_ERROR && stream_.msg != nullptr
                                      ? std::string("corrupt gzip data: ") + stream_.msg
                                      : std::string("corrupt gzip data"));
            }
            produced = room - stream_.avail_out;
        }
        return produced;
    }

    std::uint64_t file_position() const override { return consumed_ - stream_.avail_in; }

private:
    static constexpr uInt kInputSize = 1u << 20;

    bool refill() {
        const ssize_t n = hread(file_.get(), input_.get(), kInputSize);
        if (n < 0) throw StreamError(std::string("read failed: ") + std::strerror(errno));
        stream_.next_in = input_.get();
        stream_.avail_in = static_cast<uInt>(n);
        consumed_ += static_cast<std::uint64_t>(n);
        return n > 0;
    }

    HfilePtr file_;
    std::unique_ptr<unsigned char[]> input_;
    z_stream stream_{};
    bool member_done_ = false;
    std::uint64_t consumed_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> open_gzip_source(HfilePtr& file) {
    return std::make_unique<ZlibGzipSource>(std::move(file));
}

const char* gzip_inflater_name() { return "zlib"; }

}  // namespace marlinox::command

#endif
