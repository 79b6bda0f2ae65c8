// The input stage's face to the reader: a file opened as its decoded bytes.
// Plain, gzip (any mix of members and BGZF blocks), bzip2, xz and zstd are
// recognised by their first bytes (signatures.hpp), never by their names; a
// name is always a local path.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "command/input/byte_source.hpp"

namespace marlinox::command {

class BgzfPool;

// Opens `path` ("-": standard input). Throws InputError (without a line) when
// the file can't be opened or starts with a format this command refuses.
// A regular file is decoded one piece ahead on a thread of its own; a pipe or
// a terminal is read on the calling thread, which a read may block forever.
// `pool` gives the threads that decode BGZF blocks (null: the reading thread).
std::unique_ptr<ByteSource> open_byte_source(const std::string& path, const std::function<BgzfPool*()>& pool);

// The decoding libraries and their versions, for --version.
std::string decoder_libraries();

// Throws InputError (without a line) when the first decoded bytes of `path`
// are those of a format this command refuses (BAM and BCF come compressed).
void refuse_decoded_formats(const std::string& path, std::string_view start);

}  // namespace marlinox::command
