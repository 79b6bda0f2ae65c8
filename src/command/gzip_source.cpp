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

std::unique_ptr<ByteSource> open_fast_gzip_source(HfilePtr& file) {
    return std::make_unique<IsalGzipSource>(std::move(file));
}

const char* gzip_inflater_name() { return "ISA-L igzip"; }

}  // namespace marlinox::command

#else

namespace marlinox::command {

std::unique_ptr<ByteSource> open_fast_gzip_source(HfilePtr&) { return nullptr; }

const char* gzip_inflater_name() { return "htslib (zlib)"; }

}  // namespace marlinox::command

#endif
