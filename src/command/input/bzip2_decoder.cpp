// bzip2 input (libbz2): concatenated streams are one input; bytes after the
// last are bad input.
#include <bzlib.h>

#include <algorithm>
#include <limits>
#include <new>

#include "command/input/decoder.hpp"
#include "command/input/signatures.hpp"

namespace marlinox::command {
namespace {

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
                if (!input_->ensure(kSignatureLength) && input_->size() == 0) return 0;
                if (!starts_stream(input_->buffered(), Encoding::bzip2))
                    throw TrailingData("unexpected data after the end of the bzip2 data");
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

}  // namespace

std::unique_ptr<Decoder> make_bzip2_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<Bzip2Decoder>(std::move(input));
}

}  // namespace marlinox::command
