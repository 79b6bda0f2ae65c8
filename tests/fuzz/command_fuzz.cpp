// libFuzzer harness for the command's reading and analysis path: the input is
// a file's bytes, parsed into FASTA or FASTQ records and turned into rows.
//   - The first two bytes choose the size of the pieces the stream is fed in
//     and the batch budget; the records, rows and error must not depend on
//     either (the whole file in one piece, one batch, is the reference).
//   - Every identifier is free of blanks, line ends and CR, every sequence byte
//     lies in 0x21..0x7E, and no row fails.
// A disagreement aborts, which libFuzzer records as a crash with its input.
// Built by tools/fuzz.sh with -fsanitize=fuzzer,address,undefined.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "command/batch.hpp"
#include "command/record_parser.hpp"
#include "command/table.hpp"

namespace {

using namespace marlinox::command;

struct Parsed {
    std::string rows;
    std::string error;  // empty: the stream was good
    bool operator==(const Parsed&) const = default;
};

void check_record(std::string_view identifier, std::string_view sequence) {
    for (char c : identifier)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            std::fprintf(stderr, "identifier holds a blank or line end\n");
            std::abort();
        }
    for (char c : sequence)
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) {
            std::fprintf(stderr, "sequence holds byte 0x%02X\n", static_cast<unsigned char>(c));
            std::abort();
        }
}

Parsed parse(std::string_view data, std::size_t piece, std::size_t budget) {
    Parsed parsed;
    BatchBuilder builder(budget, [&](Batch&& batch) {
        for (const RecordSpan& record : batch.records) {
            check_record(batch.identifier(record), batch.sequence(record));
            append_row(parsed.rows, batch.identifier(record), batch.sequence(record));
        }
        if (batch.error) parsed.error = batch.error->describe();
    });
    std::optional<InputError> error;
    try {
        RecordParser parser("fuzz", builder);
        for (std::size_t at = 0; at < data.size(); at += piece) parser.feed(data.substr(at, piece));
        parser.finish();
    } catch (const InputError& bad) {
        error = bad;
    }
    builder.finish(std::move(error));
    return parsed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t piece = bytes[0] % 17 + 1;
    const std::size_t budget = std::size_t{bytes[1]} * 4 + 1;
    const std::string_view data(reinterpret_cast<const char*>(bytes) + 2, size - 2);

    // Room for every byte and every record: one batch.
    const Parsed whole = parse(data, data.size() + 1, 64 * (data.size() + 1));
    const Parsed pieces = parse(data, piece, budget);
    if (!(pieces == whole)) {
        std::fprintf(stderr, "pieces of %zu, budget %zu disagree with the whole file:\n%s\n%s\nvs\n%s\n%s\n", piece,
                     budget, pieces.rows.c_str(), pieces.error.c_str(), whole.rows.c_str(), whole.error.c_str());
        std::abort();
    }
    return 0;
}
