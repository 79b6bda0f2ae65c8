// The decompressed bytes of one input file. Plain files, gzip (every member)
// and BGZF are recognised by their first bytes, never by their names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct hts_tpool;

namespace marlinox::command {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `size` bytes into `buffer`; 0 at the end of the stream. Throws
    // StreamError for corrupt or truncated compressed data.
    virtual std::size_t read(char* buffer, std::size_t size) = 0;
    // Bytes of the file consumed so far (compressed bytes for compressed files).
    virtual std::uint64_t file_position() const = 0;
};

// Opens `path` ("-": standard input). Throws InputError (without a line) when
// the file can't be opened or holds a format this command does not read.
// BGZF blocks are inflated on the pool `threads()` gives (null: on the calling
// thread); it is asked for only when a BGZF file comes.
std::unique_ptr<ByteSource> open_byte_source(const std::string& path,
                                             const std::function<hts_tpool*()>& threads);

// What the build inflates plain gzip with, for --version.
const char* gzip_inflater_name();

}  // namespace marlinox::command
