// zstd input (libzstd): concatenated frames, skippable ones among them, are
// one input; bytes after the last are bad input.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader, to say what a refused frame needs
#include <zstd.h>
#include <zstd_errors.h>

#include <bit>
#include <new>
#include <optional>
#include <string>

#include "command/input/decoder.hpp"
#include "command/input/signatures.hpp"

namespace marlinox::command {
namespace {

// The largest window read: 128 MiB, libzstd's own default, named here so that
// the message refusing a larger one states it.
constexpr int kWindowLogMax = 27;

struct ZstdFree {
    void operator()(ZSTD_DStream* stream) const noexcept { ZSTD_freeDStream(stream); }
};

// The window a frame header declares. libzstd parses it where it can; a
// 32-bit build refuses to parse a window above 1 GiB, so the window
// descriptor (the byte after the magic number and the frame header
// descriptor, absent in a single-segment frame) is read here then.
std::optional<std::uint64_t> declared_window(std::string_view start) {
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, start.data(), start.size()) == 0) return header.windowSize;
    constexpr std::size_t kDescriptor = 4, kWindowDescriptor = 5;
    constexpr unsigned kSingleSegment = 0x20;
    if (start.size() <= kWindowDescriptor || (static_cast<unsigned char>(start[kDescriptor]) & kSingleSegment) != 0)
        return std::nullopt;
    const auto byte = static_cast<unsigned char>(start[kWindowDescriptor]);
    const std::uint64_t base = std::uint64_t{1} << (10u + (byte >> 3));
    return base + base / 8 * (byte & 7u);
}

// What a call that failed with `status` reports; `start` begins the frame
// being decoded (its whole header) when the failure came from that header.
StreamError refusal(std::size_t status, std::string_view start) {
    const ZSTD_ErrorCode code = ZSTD_getErrorCode(status);
    if (code == ZSTD_error_memory_allocation) throw std::bad_alloc();
    if (code == ZSTD_error_dictionary_wrong && ZSTD_getDictID_fromFrame(start.data(), start.size()) != 0)
        return StreamError("the zstd frame needs a zstd dictionary");
    const std::optional<std::uint64_t> window =
        code == ZSTD_error_frameParameter_windowTooLarge ? declared_window(start) : std::nullopt;
    if (window)
        return StreamError("the zstd frame needs a " + memory_size_text(*window) + " window (zstd --long=" +
                           std::to_string(std::bit_width(*window - 1)) + "); marlinox reads windows up to " +
                           memory_size_text(std::uint64_t{1} << kWindowLogMax));
    return StreamError(std::string("corrupt zstd data: ") + ZSTD_getErrorName(status));
}

// Decodes in steps that each either decode or hand out, never both: a call
// given no room for output decodes at most one block into the library's own
// buffer, and a call given no input only hands out what that buffer holds.
// libzstd leaves both positions as they were when a call fails, so a call
// that handed out bytes and then failed (a bad checksum after the last
// block) would lose them, and with them records that were decoded whole.
class ZstdDecoder final : public Decoder {
public:
    explicit ZstdDecoder(std::unique_ptr<FileInput> input) : input_(std::move(input)), stream_(ZSTD_createDStream()) {
        if (!stream_) throw std::bad_alloc();
        if (ZSTD_isError(ZSTD_DCtx_setParameter(stream_.get(), ZSTD_d_windowLogMax, kWindowLogMax)) != 0)
            throw std::bad_alloc();
    }

    std::size_t read(char* buffer, std::size_t size) override {
        deferred_.throw_if_any();
        std::size_t produced = 0;
        try {
            for (;;) {
                if (holding_) {
                    produced += hand_out(buffer + produced, size - produced);
                    if (holding_) return produced;  // the buffer is full
                }
                // What was decoded goes first when going on may wait for input.
                if (produced != 0 && (between_frames_ || input_->size() == 0)) return produced;
                if (between_frames_ && !start_frame()) return 0;
                decode_step();
            }
        } catch (const TrailingData&) {
            throw;  // only ever before anything is produced, and of its own type
        } catch (const StreamError& failure) {
            return deferred_.after(produced, failure);
        }
    }
    std::uint64_t file_position() const override { return input_->position(); }

private:
    // False at the end of the input. The whole header of the next frame is
    // buffered, so that a refusal can say what the frame needs.
    bool start_frame() {
        if (!input_->ensure(ZSTD_FRAMEHEADERSIZE_MAX) && input_->size() == 0) return false;
        if (!starts_stream(input_->buffered(), Encoding::zstd))
            throw TrailingData("unexpected data after the end of the zstd data");
        between_frames_ = false;
        return true;
    }

    void decode_step() {
        if (input_->size() == 0 && !input_->fill()) throw StreamError("truncated zstd data");
        ZSTD_inBuffer in{input_->data(), input_->size(), 0};
        ZSTD_outBuffer out{nullptr, 0, 0};
        const std::size_t status = ZSTD_decompressStream(stream_.get(), &out, &in);
        if (ZSTD_isError(status) != 0) throw refusal(status, input_->buffered());
        input_->consume(in.pos);
        // 0: a frame without content (or a skippable one) ended.
        if (status == 0) between_frames_ = true;
        else holding_ = true;
    }

    std::size_t hand_out(char* buffer, std::size_t size) {
        ZSTD_inBuffer in{input_->data(), 0, 0};
        ZSTD_outBuffer out{buffer, size, 0};
        const std::size_t status = ZSTD_decompressStream(stream_.get(), &out, &in);
        if (ZSTD_isError(status) != 0) throw refusal(status, {});
        // Room left over: the library holds nothing more.
        if (out.pos < out.size) {
            holding_ = false;
            between_frames_ = status == 0;
        }
        return out.pos;
    }

    std::unique_ptr<FileInput> input_;
    std::unique_ptr<ZSTD_DStream, ZstdFree> stream_;
    bool between_frames_ = true;
    bool holding_ = false;  // the library may hold decoded bytes not handed out
    DeferredFailure deferred_;
};

}  // namespace

std::unique_ptr<Decoder> make_zstd_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<ZstdDecoder>(std::move(input));
}

}  // namespace marlinox::command
