// zstd input (libzstd): concatenated frames, skippable ones among them, are
// one input; bytes after the last are bad input.
#include <zstd.h>

#include <new>
#include <string>

#include "command/input/decoder.hpp"
#include "command/input/signatures.hpp"

namespace marlinox::command {
namespace {

struct ZstdFree {
    void operator()(ZSTD_DStream* stream) const noexcept { ZSTD_freeDStream(stream); }
};

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
                if (!input_->ensure(kSignatureLength) && input_->size() == 0) return 0;
                if (!starts_stream(input_->buffered(), Encoding::zstd))
                    throw TrailingData("unexpected data after the end of the zstd data");
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

std::unique_ptr<Decoder> make_zstd_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<ZstdDecoder>(std::move(input));
}

}  // namespace marlinox::command
