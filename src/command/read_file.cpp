#include "command/read_file.hpp"

#include <cstdint>

#include "command/input_error.hpp"

namespace marlinox::command {

void parse_source(const std::string& file, ByteSource& source, RecordParser& parser,
                  const std::function<void()>& after_piece) {
    try {
        std::string_view piece = source.next();
        if (!piece.empty()) reject_binary_formats(file, piece);
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

}  // namespace marlinox::command
