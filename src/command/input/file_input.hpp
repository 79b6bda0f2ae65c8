// The bytes of one local file (or standard input), buffered so that decoders
// can look ahead at headers and take whole blocks. A name is always a path:
// nothing else ever interprets it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace marlinox::command {

class FileInput {
public:
    // Opens `path` ("-": standard input, which is not closed). Throws
    // InputError (without a line) when it can't be opened or is a directory.
    explicit FileInput(const std::string& path);
    ~FileInput();
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    // Buffered bytes not consumed yet.
    const unsigned char* data() const noexcept { return buffer_.get() + begin_; }
    std::size_t size() const noexcept { return end_ - begin_; }
    std::string_view buffered() const noexcept { return {reinterpret_cast<const char*>(data()), size()}; }
    void consume(std::size_t count) noexcept {
        begin_ += count;
        consumed_ += count;
    }
    // Reads until at least `count` bytes are buffered (at most kCapacity) or
    // the file ends; true when they are. Throws StreamError on a read error.
    bool ensure(std::size_t count);
    // Reads once more after the buffered bytes; false at the end of the file.
    bool fill();
    // Up to `size` bytes into `buffer`: the buffered ones, else straight from
    // the file; 0 at the end of the file.
    std::size_t read_into(char* buffer, std::size_t size);

    // Bytes of the file consumed so far.
    std::uint64_t position() const noexcept { return consumed_; }
    bool is_regular_file() const noexcept { return regular_; }

    static constexpr std::size_t kCapacity = std::size_t{1} << 20;

private:
    std::size_t read_some(unsigned char* buffer, std::size_t size);

    int fd_ = -1;
    bool owned_ = false;
    bool regular_ = false;
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t consumed_ = 0;
};

}  // namespace marlinox::command
