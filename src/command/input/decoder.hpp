// Decoders turn a file's bytes into the bytes of its records: plain, gzip
// (with BGZF blocks), bzip2, xz and zstd. Each keeps what it decoded before a
// failure: read() returns those bytes first and throws on the next call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "command/failures/failures.hpp"
#include "command/input/file_input.hpp"

namespace marlinox::command {

class BgzfPool;

class Decoder {
public:
    virtual ~Decoder() = default;
    // Up to `size` decoded bytes into `buffer`; 0 at the proper end of the
    // input. Throws StreamError (TrailingData for bytes after the last stream).
    virtual std::size_t read(char* buffer, std::size_t size) = 0;
    // Bytes of the file consumed so far.
    virtual std::uint64_t file_position() const = 0;
    // Whether read() only copies the file's bytes.
    virtual bool plain() const noexcept { return false; }
};

// A failure that waits until the bytes decoded before it have been returned.
class DeferredFailure {
public:
    // Returns `produced` and keeps the failure for later, or throws it at once
    // when nothing was produced.
    template <class Failure>
    std::size_t after(std::size_t produced, const Failure& failure) {
        if (produced == 0) throw failure;
        failure_ = std::make_exception_ptr(failure);
        return produced;
    }
    void throw_if_any() const {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    std::exception_ptr failure_;
};

// `bytes` of memory for a message: whole GiB as such, else MiB rounded up.
inline std::string memory_size_text(std::uint64_t bytes) {
    constexpr std::uint64_t mib = std::uint64_t{1} << 20;
    constexpr std::uint64_t gib = std::uint64_t{1} << 30;
    if (bytes != 0 && bytes % gib == 0) return std::to_string(bytes / gib) + " GiB";
    return std::to_string(bytes / mib + (bytes % mib != 0 ? 1 : 0)) + " MiB";
}

std::unique_ptr<Decoder> make_plain_decoder(std::unique_ptr<FileInput> input);
// Every gzip member, BGZF blocks decoded on `pool` (null: on the caller).
std::unique_ptr<Decoder> make_gzip_decoder(std::unique_ptr<FileInput> input, BgzfPool* pool);
std::unique_ptr<Decoder> make_bzip2_decoder(std::unique_ptr<FileInput> input);
std::unique_ptr<Decoder> make_xz_decoder(std::unique_ptr<FileInput> input);
std::unique_ptr<Decoder> make_zstd_decoder(std::unique_ptr<FileInput> input);

// What the build inflates gzip members that are not BGZF blocks with.
const char* gzip_inflater_name();

}  // namespace marlinox::command
