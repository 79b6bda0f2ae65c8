// libFuzzer harness for the command's reading and analysis path: the input is
// a file's bytes, parsed into FASTA or FASTQ records and turned into rows.
//   - The first two bytes choose the size of the pieces the stream is fed in
//     and the batch budget; the records, rows and error must not depend on
//     either (the whole file in one piece, one batch, is the reference).
//   - Every identifier is free of blanks, line ends and CR, every sequence byte
//     lies in 0x21..0x7E, and no row fails.
//   - When the first byte has its top bit set, the rest is packed as gzip
//     input instead: BGZF blocks of a size the input chooses, a plain gzip
//     member among them if asked, then cut short or with a byte flipped where
//     the input says. Read from a file with BGZF decoded on the reading
//     thread and on a pool of three threads, it must give the same rows and
//     the same error.
// A disagreement aborts, which libFuzzer records as a crash with its input.
// Built by tools/fuzz.sh with -fsanitize=fuzzer,address,undefined.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <libdeflate.h>

#include "command/input/bgzf_blocks.hpp"
#include "command/input/open_input.hpp"
#include "command/records/batch.hpp"
#include "command/records/read_loop.hpp"
#include "command/records/record_parser.hpp"
#include "command/rows/record_rows.hpp"

namespace {

using namespace marlinox::command;

// The default table's row of one record.
void append_row(std::string& rows, std::string_view identifier, std::string_view sequence) {
    static const Layout layout = [] {
        Layout table;
        table.columns.assign(default_columns(false).begin(), default_columns(false).end());
        return table;
    }();
    append_record(rows, layout, false, "", identifier, sequence);
}

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

void put_le(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

std::string deflate_raw(libdeflate_compressor* compressor, std::string_view data) {
    std::string out(libdeflate_deflate_compress_bound(compressor, data.size()), '\0');
    out.resize(libdeflate_deflate_compress(compressor, data.data(), data.size(), out.data(), out.size()));
    return out;
}

std::string bgzf_block(libdeflate_compressor* compressor, std::string_view data) {
    const std::string body = deflate_raw(compressor, data);
    std::string block("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00", 16);
    put_le(block, static_cast<std::uint32_t>(body.size() + 25), 2);
    block += body;
    put_le(block, static_cast<std::uint32_t>(libdeflate_crc32(0, data.data(), data.size())), 4);
    put_le(block, static_cast<std::uint32_t>(data.size()), 4);
    return block;
}

std::string gzip_member(libdeflate_compressor* compressor, std::string_view data) {
    std::string out(libdeflate_gzip_compress_bound(compressor, data.size()), '\0');
    out.resize(libdeflate_gzip_compress(compressor, data.data(), data.size(), out.data(), out.size()));
    return out;
}

// `data` as gzip input, then damaged as `how` says.
std::string pack(std::string_view data, const std::uint8_t* how) {
    const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
        libdeflate_alloc_compressor(1), libdeflate_free_compressor);
    const std::size_t block = std::size_t{how[0]} % 64 + 1;
    const std::size_t member_at = (how[1] & 0x10) != 0 ? data.size() / 2 : data.size() + 1;
    std::string packed;
    for (std::size_t at = 0; at < data.size(); at += block) {
        const std::string_view piece = data.substr(at, block);
        packed += at <= member_at && member_at < at + block ? gzip_member(compressor.get(), piece)
                                                            : bgzf_block(compressor.get(), piece);
    }
    packed += bgzf_block(compressor.get(), "");
    const std::size_t position = (std::size_t{how[2]} << 8 | how[3]) % (packed.size() + 1);
    switch (how[1] % 4) {
        case 1: packed.resize(position); break;
        case 2: if (position < packed.size()) packed[position] = static_cast<char>(packed[position] ^ 0x20); break;
        case 3: packed += "junk"; break;
        default: break;
    }
    return packed;
}

// Rows and error of `packed` read from a file, BGZF decoded on `pool`.
Parsed read_packed(int file, marlinox::command::BgzfPool* pool) {
    Parsed parsed;
    BatchBuilder builder(4096, [&](Batch&& batch) {
        for (const RecordSpan& record : batch.records)
            append_row(parsed.rows, batch.identifier(record), batch.sequence(record));
        if (batch.error) parsed.error = batch.error->describe();
    });
    std::optional<InputError> error;
    try {
        const std::string path = "/proc/self/fd/" + std::to_string(file);
        const auto source = open_byte_source(path, [&] { return pool; });
        RecordParser parser("fuzz", builder);
        parse_source("fuzz", *source, parser, [] {});
    } catch (const InputError& bad) {
        error = InputError("fuzz", bad.line(), bad.what());
    }
    builder.finish(std::move(error));
    return parsed;
}

void compare_thread_counts(std::string_view data, const std::uint8_t* how) {
    static marlinox::command::BgzfPool pool(3);
    const std::string packed = pack(data, how);
    const int file = memfd_create("fuzz", MFD_CLOEXEC);
    if (file < 0 || write(file, packed.data(), packed.size()) != static_cast<ssize_t>(packed.size())) std::abort();
    const Parsed alone = read_packed(file, nullptr);
    const Parsed pooled = read_packed(file, &pool);
    close(file);
    if (!(alone == pooled)) {
        std::fprintf(stderr, "one thread and a pool disagree:\n%s\n%s\nvs\n%s\n%s\n", alone.rows.c_str(),
                     alone.error.c_str(), pooled.rows.c_str(), pooled.error.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) return 0;
    if (bytes[0] & 0x80) {
        if (size < 5) return 0;
        compare_thread_counts(std::string_view(reinterpret_cast<const char*>(bytes) + 5, size - 5), bytes + 1);
        return 0;
    }
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
