// Gzip input: any number of members, each either a BGZF block (decoded in
// runs, see bgzf_blocks.hpp) or a member of any size (inflated here as it
// comes). Bytes after the last member are bad input, and so is an input whose
// last member is a BGZF block other than the empty end-of-file block: BGZF
// ends with that block, so without it the file was cut at a block boundary.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "command/input/bgzf_blocks.hpp"
#include "command/input/decoder.hpp"
#include "command/input/member_inflater.hpp"
#include "command/input/signatures.hpp"

namespace marlinox::command {
namespace {

// Blocks per run: small runs keep what is decoded ahead within the caches.
constexpr std::size_t kRunBlocks = 4;

class GzipDecoder final : public Decoder {
public:
    GzipDecoder(std::unique_ptr<FileInput> input, BgzfPool* pool) : input_(std::move(input)), runs_(pool) {}

    std::size_t read(char* buffer, std::size_t size) override {
        for (;;) {
            if (output_size_ != 0) {
                const std::size_t n = std::min(size, output_size_);
                std::memcpy(buffer, output_, n);
                output_ += n;
                output_size_ -= n;
                return n;
            }
            deferred_.throw_if_any();
            if (in_member_) {
                if (const std::size_t n = inflate_member(buffer, size)) return n;
                continue;
            }
            submit_runs();
            if (runs_.pending()) {
                const BlockRun& run = runs_.next();
                output_ = run.output.get();
                output_size_ = run.decoded;
                if (run.failure != nullptr) (void)deferred_.after(run.decoded, StreamError(run.failure));
                continue;
            }
            if (framing_failure_) std::rethrow_exception(framing_failure_);
            switch (next_member()) {
                case Member::none:
                    if (last_ == Last::bgzf_block)
                        throw StreamError("truncated BGZF data: the end-of-file block is missing");
                    return 0;
                case Member::bgzf_block:
                    continue;  // submit_runs takes it
                case Member::other:
                    inflater_.start();
                    in_member_ = true;
                    last_ = Last::member;
                    continue;
            }
        }
    }

    std::uint64_t file_position() const override { return input_->position(); }

private:
    enum class Member { none, bgzf_block, other };
    enum class Last { nothing, member, bgzf_block, bgzf_end };

    // Looks at the start of the next member. Throws for bytes that do not
    // start one.
    Member next_member() {
        (void)input_->ensure(kBgzfHeaderSize);
        const std::size_t available = input_->size();
        if (available == 0) return Member::none;
        const unsigned char* header = input_->data();
        if (!starts_stream(input_->buffered(), Encoding::gzip)) {
            if (last_ == Last::bgzf_block)
                throw StreamError("corrupt BGZF data: a block is followed by bytes that start no gzip member");
            throw TrailingData("unexpected data after the end of the gzip data");
        }
        if (available < 4) return Member::other;  // the inflater finds it cut short
        // Reserved flag bits: rejected as zlib and gzip do.
        if ((header[3] & 0xE0) != 0) throw StreamError("corrupt gzip data: reserved header flags are set");
        if (available >= kBgzfHeaderSize && bgzf_block_size(header) != 0) return Member::bgzf_block;
        return Member::other;
    }

    // Fills runs of BGZF blocks while the next members are BGZF blocks and
    // there is room; a failure to frame them waits for the runs before it.
    void submit_runs() {
        while (!framing_failure_ && runs_.has_room()) {
            // A pipe may stall for good: while decoded runs wait to go out,
            // take only blocks already read.
            if (runs_.pending() && !input_->is_regular_file() &&
                !(input_->size() >= kBgzfHeaderSize && whole_bgzf_block_buffered()))
                return;
            BlockRun* run = nullptr;
            std::size_t output = 0;
            try {
                if (next_member() != Member::bgzf_block) return;
                run = &runs_.start();
                // The first block may need reading; the rest are taken while buffered.
                do {
                    const std::size_t size = bgzf_block_size(input_->data());
                    if (size < kBgzfEndBlockSize) throw StreamError("corrupt BGZF data: bad block size");
                    if (!input_->ensure(size)) throw StreamError("truncated BGZF data");
                    const unsigned char* block = input_->data();
                    const std::size_t length = std::min<std::size_t>(bgzf_length(block, size), kBgzfLargestBlock);
                    run->compressed.insert(run->compressed.end(), block, block + size);
                    ++run->blocks;
                    output += length;
                    last_ = size == kBgzfEndBlockSize && length == 0 ? Last::bgzf_end : Last::bgzf_block;
                    input_->consume(size);
                } while (run->blocks < kRunBlocks && input_->size() >= kBgzfHeaderSize &&
                         whole_bgzf_block_buffered());
            } catch (const StreamError&) {
                framing_failure_ = std::current_exception();
            }
            if (run == nullptr || run->blocks == 0) return;
            run->reserve_output(output);
            runs_.submit();
        }
    }

    bool whole_bgzf_block_buffered() const noexcept {
        if (!starts_stream(input_->buffered(), Encoding::gzip)) return false;
        const std::size_t size = bgzf_block_size(input_->data());
        return size >= kBgzfEndBlockSize && size <= input_->size();
    }

    std::size_t inflate_member(char* buffer, std::size_t size) {
        std::size_t produced = 0;
        while (produced == 0) {
            // At the end of the input the inflater may still hold output.
            const bool input_ended = input_->size() == 0 && !input_->fill();
            const MemberInflater::Step step =
                inflater_.inflate(input_->data(), input_->size(), buffer + produced, size - produced);
            input_->consume(step.consumed);
            produced += step.produced;
            if (step.failure != nullptr) return deferred_.after(produced, StreamError(step.failure));
            if (step.member_end) {
                in_member_ = false;
                break;
            }
            if (input_ended && produced == 0) throw StreamError("truncated gzip data");
        }
        return produced;
    }

    std::unique_ptr<FileInput> input_;
    BlockRuns runs_;
    MemberInflater inflater_;
    bool in_member_ = false;
    Last last_ = Last::nothing;
    const char* output_ = nullptr;
    std::size_t output_size_ = 0;
    DeferredFailure deferred_;
    std::exception_ptr framing_failure_;
};

}  // namespace

std::unique_ptr<Decoder> make_gzip_decoder(std::unique_ptr<FileInput> input, BgzfPool* pool) {
    return std::make_unique<GzipDecoder>(std::move(input), pool);
}

}  // namespace marlinox::command
