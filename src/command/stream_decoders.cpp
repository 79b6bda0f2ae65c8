// Plain input, and the whole-file compressions other than gzip: bzip2 (libbz2),
// xz (liblzma) and zstd (libzstd). Concatenated streams (zstd: frames) are
// one input; bytes after the last are bad input.
#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "command/decoder.hpp"

namespace marlinox::command {
namespace {

class PlainDecoder final : public Decoder {
public:
    explicit PlainDecoder(std::unique_ptr<FileInput> input) : input_(std::move(input)) {}
    std::size_t read(char* buffer, std::size_t size) override { return input_->read_into(buffer, size); }
    std::uint64_t file_position() const override { return input_->position(); }
    bool plain() const noexcept override { return true; }

private:
    std::unique_ptr<FileInput> input_;
};

bool starts_with(const FileInput& input, std::string_view magic) {
    return input.size() >= magic.size() && std::memcmp(input.data(), magic.data(), magic.size()) == 0;
}

constexpr std::size_t kLargestUint = std::numeric_limits<unsigned>::max();

class Bzip2Decoder final : public Decoder {
public:
    explicit Bzip2Decoder(std::unique_ptr<FileInput> input) : input_(std::move(input)) { start(); }
    ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&stream_); }
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

    std::size_t read(char* buffer, std::size_t size) override {
        deferred_.throw_if_any();
        std::size_t produced = 0;
        while (produced == 0) {
            if (stream_end_) {
                // Another stream follows, or the input ends here.
                if (!input_->ensure(3) && input_->size() == 0) return 0;
                if (!starts_with(*input_, "BZh")) throw TrailingData("unexpected data after the end of the bzip2 data");
                BZ2_bzDecompressEnd(&stream_);
                start();
            }
            // At the end of the input the decoder may still hold output.
            const bool input_ended = input_->size() == 0 && !input_->fill();
            stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(input_->data()));
            stream_.avail_in = static_cast<unsigned>(std::min(input_->size(), kLargestUint));
            stream_.next_out = buffer + produced;
            stream_.avail_out = static_cast<unsigned>(std::min(size - produced, kLargestUint));
            const unsigned in = stream_.avail_in;
            const unsigned out = stream_.avail_out;
            const int status = BZ2_bzDecompress(&stream_);
            input_->consume(in - stream_.avail_in);
            produced += out - stream_.avail_out;
            if (status == BZ_MEM_ERROR) throw std::bad_alloc();
            if (status == BZ_STREAM_END) stream_end_ = true;
            else if (status != BZ_OK) return deferred_.after(produced, StreamError("corrupt bzip2 data"));
            else if (input_ended && produced == 0) throw StreamError("truncated bzip2 data");
        }
        return produced;
    }
    std::uint64_t file_position() const override { return input_->position(); }

private:
    void start() {
        stream_ = bz_stream{};
        if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) throw std::bad_alloc();
        stream_end_ = false;
    }

    std::unique_ptr<FileInput> input_;
    bz_stream stream_{};
    bool stream_end_ = false;
    DeferredFailure deferred_;
};

class XzDecoder final : public Decoder {
public:
    explicit XzDecoder(std::unique_ptr<FileInput> input) : input_(std::move(input)) { start(); }
    ~XzDecoder() override { lzma_end(&stream_); }
    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;

    std::size_t read(char* buffer, std::size_t size) override {
        deferred_.throw_if_any();
        std::size_t produced = 0;
        while (produced == 0) {
            if (stream_end_ && !next_stream()) return 0;
            // At the end of the input the decoder may still hold output.
            const bool input_ended = input_->size() == 0 && !input_->fill();
            stream_.next_in = input_->data();
            stream_.avail_in = input_->size();
            stream_.next_out = reinterpret_cast<std::uint8_t*>(buffer) + produced;
            stream_.avail_out = size - produced;
            const std::size_t in = stream_.avail_in;
            const std::size_t out = stream_.avail_out;
            const lzma_ret status = lzma_code(&stream_, LZMA_RUN);
            input_->consume(in - stream_.avail_in);
            produced += out - stream_.avail_out;
            if (status == LZMA_MEM_ERROR) throw std::bad_alloc();
            if (status == LZMA_STREAM_END) stream_end_ = true;
            else if (status != LZMA_OK) return deferred_.after(produced, StreamError("corrupt xz data"));
            else if (input_ended && produced == 0) throw StreamError("truncated xz data");
        }
        return produced;
    }
    std::uint64_t file_position() const override { return input_->position(); }

private:
    void start() {
        if (lzma_stream_decoder(&stream_, UINT64_MAX, 0) != LZMA_OK) throw std::bad_alloc();
        stream_end_ = false;
    }

    // After a stream: its padding (zero bytes, a multiple of four), then
    // another stream or the end. False at the end.
    bool next_stream() {
        std::size_t padding = 0;
        for (;;) {
            if (input_->size() == 0 && !input_->fill()) break;
            if (input_->data()[0] != 0) break;
            input_->consume(1);
            ++padding;
        }
        if (padding % 4 != 0) throw StreamError("corrupt xz data: bad stream padding");
        if (input_->size() == 0) return false;
        (void)input_->ensure(6);
        if (!starts_with(*input_, std::string_view("\xfd" "7zXZ\x00", 6)))
            throw TrailingData("unexpected data after the end of the xz data");
        start();
        return true;
    }

    std::unique_ptr<FileInput> input_;
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool stream_end_ = false;
    DeferredFailure deferred_;
};

struct ZstdFree {
    void operator()(ZSTD_DStream* stream) const noexcept { ZSTD_freeDStream(stream); }
};

bool zstd_frame_start(const FileInput& input) {
    if (input.size() < 4) return false;
    const unsigned char* p = input.data();
    const bool frame = p[0] == 0x28 && p[1] == 0xb5 && p[2] == 0x2f && p[3] == 0xfd;
    const bool skippable = (p[0] & 0xf0) == 0x50 && p[1] == 0x2a && p[2] == 0x4d && p[3] == 0x18;
    return frame || skippable;
}

class ZstdDecoder final : public Decoder {
public:
    explicit ZstdDecoder(std::unique_ptr<FileInput> input) : input_(std::move(input)), stream_(ZSTD_createDStream()) {
        if (!stream_) throw std::bad_alloc();
    }

    std::size_t read(char* buffer, std::size_t size) override {
        deferred_.throw_if_any();
        std::size_t produced = 0;
        while (produced == 0) {
            if (frame_end_) {
                if (!input_->ensure(4) && input_->size() == 0) return 0;
                if (!zstd_frame_start(*input_)) throw TrailingData("unexpected data after the end of the zstd data");
                frame_end_ = false;
            }
            // At the end of the input the decoder may still hold output.
            const bool input_ended = input_->size() == 0 && !input_->fill();
            ZSTD_inBuffer in{input_->data(), input_->size(), 0};
            ZSTD_outBuffer out{buffer + produced, size - produced, 0};
            const std::size_t status = ZSTD_decompressStream(stream_.get(), &out, &in);
            input_->consume(in.pos);
            produced += out.pos;
            if (ZSTD_isError(status) != 0) {
                if (ZSTD_getErrorCode(status) == ZSTD_error_memory_allocation) throw std::bad_alloc();
                return deferred_.after(produced, StreamError(std::string("corrupt zstd data: ") +
                                                             ZSTD_getErrorName(status)));
            }
            if (status == 0) frame_end_ = true;
            else if (input_ended && produced == 0) throw StreamError("truncated zstd data");
        }
        return produced;
    }
    std::uint64_t file_position() const override { return input_->position(); }

private:
    std::unique_ptr<FileInput> input_;
    std::unique_ptr<ZSTD_DStream, ZstdFree> stream_;
    bool frame_end_ = false;
    DeferredFailure deferred_;
};

}  // namespace

std::unique_ptr<Decoder> make_plain_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<PlainDecoder>(std::move(input));
}
std::unique_ptr<Decoder> make_bzip2_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<Bzip2Decoder>(std::move(input));
}
std::unique_ptr<Decoder> make_xz_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<XzDecoder>(std::move(input));
}
std::unique_ptr<Decoder> make_zstd_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<ZstdDecoder>(std::move(input));
}

}  // namespace marlinox::command
