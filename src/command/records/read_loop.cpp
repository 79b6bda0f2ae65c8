#include "command/records/read_loop.hpp"

#include <cstdint>
#include <memory>
#include <optional>

#include "command/failures/failures.hpp"
#include "command/input/bgzf_blocks.hpp"

namespace marlinox::command {

void parse_source(const std::string& file, ByteSource& source, RecordParser& parser,
                  const std::function<void()>& after_piece) {
    try {
        std::string_view piece = source.next();
        if (!piece.empty()) refuse_decoded_formats(file, piece);
        for (; !piece.empty(); piece = source.next()) {
            parser.feed(piece);
            after_piece();
        }
        parser.finish();
    } catch (const TrailingData& trailing) {
        // Every stream before the stray bytes ended properly, so the last
        // record is complete; if it is not, it gets no row, and the stray
        // bytes are still what is reported.
        const std::uint64_t line = parser.line();
        try {
            parser.finish();
        } catch (const InputError&) {
        }
        throw InputError(file, line, trailing.what());
    } catch (const StreamError& stream) {
        // Everything decoded before the damage has been parsed: the parser
        // stands at its line.
        throw InputError(file, parser.line(), stream.what());
    }
}

void read_files(const std::vector<std::string>& files, std::size_t batch_bytes, BatchBuilder::RowBytes row_bytes,
                std::size_t threads, Handoff<Batch>& batches, SpareBatch& spare, Progress& progress) {
    BatchBuilder builder(
        batch_bytes,
        [&batches](Batch&& batch) {
            if (!batches.give(std::move(batch))) throw Cancelled{};
        },
        &spare, std::move(row_bytes));
    std::unique_ptr<BgzfPool> bgzf_pool;
    const auto bgzf_threads = [&]() -> BgzfPool* {
        if (!bgzf_pool && threads > 1) bgzf_pool = std::make_unique<BgzfPool>(threads);
        return bgzf_pool.get();
    };
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
    std::optional<InputError> error;
    try {
        for (std::size_t index = 0; index < files.size(); ++index) {
            const std::string& file = files[index];
            builder.set_file(index);
            const std::unique_ptr<ByteSource> source = open_byte_source(file, bgzf_threads);
            RecordParser parser(file, builder);
            parse_source(file, *source, parser, [&] {
                progress.update(records + parser.records(), bytes + source->file_position());
            });
            records += parser.records();
            bytes += source->file_position();
        }
    } catch (const InputError& bad) {
        error = bad;
    }
    builder.finish(std::move(error));
}

}  // namespace marlinox::command
