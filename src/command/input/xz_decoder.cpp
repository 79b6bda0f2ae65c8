// xz input (liblzma): concatenated streams, each followed by its padding, are
// one input; bytes after the last are bad input.
#include <lzma.h>

#include <cstdint>
#include <new>
#include <string>

#include "command/input/decoder.hpp"
#include "command/input/signatures.hpp"

namespace marlinox::command {
namespace {

// The most memory a stream may make the decoder take. A stream declares its
// dictionary, up to 4 GiB; xz -9 needs 65 MiB.
constexpr std::uint64_t kMemoryLimit = std::uint64_t{256} << 20;

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
            if (status == LZMA_MEMLIMIT_ERROR)
                return deferred_.after(produced, StreamError("the xz stream needs " +
                                                             memory_size_text(lzma_memusage(&stream_)) +
                                                             " of memory to decode; marlinox decodes xz in up to " +
                                                             memory_size_text(kMemoryLimit)));
            if (status == LZMA_STREAM_END) stream_end_ = true;
            else if (status != LZMA_OK) return deferred_.after(produced, StreamError("corrupt xz data"));
            else if (input_ended && produced == 0) throw StreamError("truncated xz data");
        }
        return produced;
    }
    std::uint64_t file_position() const override { return input_->position(); }

private:
    void start() {
        if (lzma_stream_decoder(&stream_, kMemoryLimit, 0) != LZMA_OK) throw std::bad_alloc();
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
        (void)input_->ensure(kSignatureLength);
        if (!starts_stream(input_->buffered(), Encoding::xz))
            throw TrailingData("unexpected data after the end of the xz data");
        start();
        return true;
    }

    std::unique_ptr<FileInput> input_;
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool stream_end_ = false;
    DeferredFailure deferred_;
};

}  // namespace

std::unique_ptr<Decoder> make_xz_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<XzDecoder>(std::move(input));
}

}  // namespace marlinox::command
