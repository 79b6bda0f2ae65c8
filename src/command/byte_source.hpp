// The decoded bytes of one input file, in pieces. Plain, gzip (any mix of
// members and BGZF blocks), bzip2, xz and zstd are recognised by their first
// bytes, never by their names; a name is always a local path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace marlinox::command {

class BgzfPool;

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The next piece, valid until the next call; empty at the proper end of
    // the input. Every byte decoded before a failure comes first; then it
    // throws StreamError (TrailingData for bytes after the last stream).
    virtual std::string_view next() = 0;
    // Bytes of the file consumed up to the end of the last piece.
    virtual std::uint64_t file_position() const = 0;
};

// Opens `path` ("-": standard input). Throws InputError (without a line) when
// the file can't be opened or holds a format this command does not read.
// A regular file is decoded one piece ahead on a thread of its own; a pipe or
// a terminal is read on the calling thread, which a read may block forever.
// `pool` gives the threads that decode BGZF blocks (null: the reading thread).
std::unique_ptr<ByteSource> open_byte_source(const std::string& path, const std::function<BgzfPool*()>& pool);

// The decoding libraries and their versions, for --version.
std::string decoder_libraries();

// Throws InputError when the first decoded bytes of `path` are those of a
// binary format that holds sequences (BAM, BCF) rather than FASTA or FASTQ.
void reject_binary_formats(const std::string& path, std::string_view start);

}  // namespace marlinox::command
