#include "command/byte_source.hpp"

#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>
#include <zstd.h>

#include <cstring>
#include <memory>

#include "command/decoder.hpp"
#include "command/file_input.hpp"
#include "command/read_ahead.hpp"

namespace marlinox::command {
namespace {

constexpr std::size_t kPieceSize = std::size_t{1} << 20;
// A plain file's pieces are only copied by the kernel: a piece that fits the
// core's cache is parsed from there, where a larger one goes out to memory and
// back (about a quarter less processor time on plain genomes); a ring of them
// spares the threads a wake-up per piece. A decoder makes better use of large
// pieces.
constexpr std::size_t kPlainPieceSize = std::size_t{64} << 10;
constexpr std::size_t kPlainPieces = 8;

// Decodes each piece when it is asked for.
class DirectSource final : public ByteSource {
public:
    explicit DirectSource(std::unique_ptr<Decoder> decoder)
        : decoder_(std::move(decoder)), buffer_(new char[kPieceSize]) {}
    std::string_view next() override { return {buffer_.get(), decoder_->read(buffer_.get(), kPieceSize)}; }
    std::uint64_t file_position() const override { return decoder_->file_position(); }

private:
    std::unique_ptr<Decoder> decoder_;
    std::unique_ptr<char[]> buffer_;
};

bool starts_with(const FileInput& input, std::string_view magic) {
    return input.size() >= magic.size() && std::memcmp(input.data(), magic.data(), magic.size()) == 0;
}

std::unique_ptr<Decoder> make_decoder(const std::string& path, std::unique_ptr<FileInput> input,
                                      const std::function<BgzfPool*()>& pool) {
    (void)input->ensure(6);
    const unsigned char* start = input->data();
    if (starts_with(*input, "\x1f\x8b")) return make_gzip_decoder(std::move(input), pool());
    if (starts_with(*input, "BZh") && input->size() >= 4 && start[3] >= '1' && start[3] <= '9')
        return make_bzip2_decoder(std::move(input));
    if (starts_with(*input, std::string_view("\xfd" "7zXZ\x00", 6))) return make_xz_decoder(std::move(input));
    if (starts_with(*input, "\x28\xb5\x2f\xfd")) return make_zstd_decoder(std::move(input));
    if (starts_with(*input, "CRAM")) throw InputError(path, 0, "CRAM input is not supported (FASTA or FASTQ expected)");
    return make_plain_decoder(std::move(input));
}

}  // namespace

std::unique_ptr<ByteSource> open_byte_source(const std::string& path, const std::function<BgzfPool*()>& pool) {
    auto input = std::make_unique<FileInput>(path);
    const bool regular = input->is_regular_file();
    std::unique_ptr<Decoder> decoder;
    try {
        decoder = make_decoder(path, std::move(input), pool);
    } catch (const StreamError& error) {
        throw InputError(path, 0, error.what());
    }
    if (regular) {
        const bool plain = decoder->plain();
        return std::make_unique<ReadAhead>(std::move(decoder), plain ? kPlainPieceSize : kPieceSize,
                                           plain ? kPlainPieces : 2);
    }
    return std::make_unique<DirectSource>(std::move(decoder));
}

std::string decoder_libraries() {
    // libbz2 adds its release date after a comma.
    const std::string_view bzip2 = BZ2_bzlibVersion();
    return std::string("gzip by ") + gzip_inflater_name() + ", BGZF by libdeflate " LIBDEFLATE_VERSION_STRING +
           ", bzip2 " + std::string(bzip2.substr(0, bzip2.find(','))) + ", xz " + lzma_version_string() +
           ", zstd " + ZSTD_versionString();
}

void reject_binary_formats(const std::string& path, std::string_view start) {
    if (start.starts_with(std::string_view("BAM\x01", 4)))
        throw InputError(path, 0, "BAM input is not supported (FASTA or FASTQ expected)");
    if (start.starts_with("BCF\x02"))
        throw InputError(path, 0, "BCF input is not supported (FASTA or FASTQ expected)");
}

}  // namespace marlinox::command
