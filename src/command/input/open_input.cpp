#include "command/input/open_input.hpp"

#include <memory>

#include "command/failures/failures.hpp"
#include "command/input/decoder.hpp"
#include "command/input/file_input.hpp"
#include "command/input/read_ahead.hpp"
#include "command/input/signatures.hpp"

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

std::unique_ptr<Decoder> make_decoder(const std::string& path, std::unique_ptr<FileInput> input,
                                      const std::function<BgzfPool*()>& pool) {
    (void)input->ensure(kSignatureLength);
    const Recognised recognised = recognise(input->buffered());
    if (recognised.refusal) throw InputError(path, 0, std::string(*recognised.refusal));
    switch (recognised.encoding) {
        case Encoding::gzip: return make_gzip_decoder(std::move(input), pool());
        case Encoding::bzip2: return make_bzip2_decoder(std::move(input));
        case Encoding::xz: return make_xz_decoder(std::move(input));
        case Encoding::zstd: return make_zstd_decoder(std::move(input));
        case Encoding::plain: break;
    }
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

void refuse_decoded_formats(const std::string& path, std::string_view start) {
    if (const Recognised recognised = recognise(start); recognised.refusal)
        throw InputError(path, 0, std::string(*recognised.refusal));
}

}  // namespace marlinox::command
