#include "command/rows/fasta.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "command/rows/float_repr.hpp"

namespace marlinox::command {
namespace {

// Complement of a byte in its own case; every other byte unchanged.
constexpr std::array<char, 256> kComplement = [] {
    std::array<char, 256> table{};
    for (std::size_t b = 0; b < table.size(); ++b) table[b] = static_cast<char>(b);
    const auto pair = [&](char x, char y) {
        table[static_cast<unsigned char>(x)] = y;
        table[static_cast<unsigned char>(y)] = x;
    };
    pair('A', 'T');
    pair('C', 'G');
    pair('a', 't');
    pair('c', 'g');
    return table;
}();

// Index 0..3 of T, C, A, G in either case; 4 for any other byte.
constexpr std::array<std::uint8_t, 256> kBase = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(4);
    for (const auto [letter, index] : {std::pair{'T', 0}, {'C', 1}, {'A', 2}, {'G', 3}}) {
        table[static_cast<unsigned char>(letter)] = static_cast<std::uint8_t>(index);
        table[static_cast<unsigned char>(letter | 0x20)] = static_cast<std::uint8_t>(index);
    }
    return table;
}();

// The standard code, first base slowest, each base in the order T, C, A, G.
constexpr std::string_view kStandardCode = "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG";

// The run's bytes as its own strand reads them.
std::string run_bytes(std::string_view sequence, const RecordValues& values) {
    const std::string_view run = sequence.substr(values.located.start, values.located.end - values.located.start);
    std::string out(run);
    if (values.located.reverse) {
        std::reverse(out.begin(), out.end());
        for (char& c : out) c = kComplement[static_cast<unsigned char>(c)];
    }
    return out;
}

void append_header(std::string& out, std::string_view identifier, const RecordValues& values) {
    out += '>';
    out += identifier;
    out += ' ';
    out += values.strand_sign();
    out += ':';
    append_count(out, values.located.start);
    out += '-';
    append_count(out, values.located.end);
    out += " run=";
    append_count(out, values.located.run);
    out += " evalue=";
    append_float_repr(out, values.evalue());
    out += '\n';
}

std::size_t header_bound(std::size_t identifier_length) noexcept {
    // Three counts and a float; '>', the strand, ' :- run= evalue=' and the line end.
    return identifier_length + 3 * kMaxCountLength + kMaxFloatReprLength + 19;
}

}  // namespace

void append_run_fasta(std::string& out, std::string_view identifier, std::string_view sequence,
                      const RecordValues& values) {
    append_header(out, identifier, values);
    out += run_bytes(sequence, values);
    out += '\n';
}

void append_run_protein(std::string& out, std::string_view identifier, std::string_view sequence,
                        const RecordValues& values) {
    append_header(out, identifier, values);
    const std::string codons = run_bytes(sequence, values);
    for (std::size_t i = 0; i + 3 <= codons.size(); i += 3) {
        const unsigned first = kBase[static_cast<unsigned char>(codons[i])];
        const unsigned second = kBase[static_cast<unsigned char>(codons[i + 1])];
        const unsigned third = kBase[static_cast<unsigned char>(codons[i + 2])];
        out += (first | second | third) > 3 ? 'X' : kStandardCode[16 * first + 4 * second + third];
    }
    out += '\n';
}

std::size_t run_fasta_bound(std::size_t identifier_length, std::size_t sequence_length) noexcept {
    return header_bound(identifier_length) + sequence_length + 1;
}

std::size_t run_protein_bound(std::size_t identifier_length, std::size_t sequence_length) noexcept {
    return header_bound(identifier_length) + sequence_length / 3 + 1;
}

}  // namespace marlinox::command
