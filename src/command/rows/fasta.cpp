#include "command/rows/fasta.hpp"

#include <array>
#include <cstdint>

#include "analysis/codon_set.hpp"
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

// Bytes [start, end) of `sequence` as the strand reads them, then a line end,
// written at the end of `out` in room made for exactly that.
void append_strand_line(std::string& out, std::string_view sequence, std::size_t start, std::size_t end,
                        bool reverse) {
    const std::size_t at = out.size();
    out.resize(at + (end - start) + 1);
    char* to = out.data() + at;
    if (reverse) {
        for (std::size_t i = end; i != start; --i) *to++ = kComplement[static_cast<unsigned char>(sequence[i - 1])];
    } else {
        sequence.copy(to, end - start, start);
        to += end - start;
    }
    *to = '\n';
}

char amino_acid(std::string_view amino_acids, char first, char second, char third) noexcept {
    const unsigned char codon[3] = {static_cast<unsigned char>(first), static_cast<unsigned char>(second),
                                    static_cast<unsigned char>(third)};
    const int index = analysis::codon_index(codon);
    return index < 0 ? 'X' : amino_acids[static_cast<std::size_t>(index)];
}

// The whole codons of bytes [start, end) as the strand reads them,
// translated by `amino_acids`, then a line end; `first_as_m`: the first codon
// gives M.
void append_protein_line(std::string& out, std::string_view sequence, std::size_t start, std::size_t end,
                         bool reverse, std::string_view amino_acids, bool first_as_m) {
    const std::size_t codons = (end - start) / 3;
    const std::size_t at = out.size();
    out.resize(at + codons + 1);
    char* to = out.data() + at;
    const char* bytes = sequence.data();
    for (std::size_t k = 0; k < codons; ++k) {
        if (reverse) {
            const char* codon = bytes + end - 3 * (k + 1);
            *to++ = amino_acid(amino_acids, kComplement[static_cast<unsigned char>(codon[2])],
                               kComplement[static_cast<unsigned char>(codon[1])],
                               kComplement[static_cast<unsigned char>(codon[0])]);
        } else {
            const char* codon = bytes + start + 3 * k;
            *to++ = amino_acid(amino_acids, codon[0], codon[1], codon[2]);
        }
    }
    if (first_as_m && codons != 0) out[at] = 'M';
    *to = '\n';
}

void append_run_header(std::string& out, std::string_view identifier, const RecordValues& values) {
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

void append_orf_header(std::string& out, const OrfValues& orf) {
    out += '>';
    out += orf.record().identifier;
    out += '_';
    append_count(out, orf.number());
    out += ' ';
    out += orf.strand_sign();
    out += ':';
    append_count(out, orf.start());
    out += '-';
    append_count(out, orf.end());
    out += " codons=";
    append_count(out, orf.codons());
    out += " partial=";
    char partial[2];
    out.append(partial, orf.write_partial(partial));
    out += " evalue=";
    append_float_repr(out, orf.evalue());
    out += '\n';
}

std::size_t header_bound(std::size_t identifier_length) noexcept {
    // Three counts and a float; '>', the strand, ' :- run= evalue=' and the line end.
    return identifier_length + 3 * kMaxCountLength + kMaxFloatReprLength + 19;
}

}  // namespace

void append_run_fasta(std::string& out, std::string_view identifier, std::string_view sequence,
                      const RecordValues& values) {
    append_run_header(out, identifier, values);
    append_strand_line(out, sequence, values.located.start, values.located.end, values.located.reverse);
}

void append_run_protein(std::string& out, std::string_view identifier, std::string_view sequence,
                        const RecordValues& values, std::string_view amino_acids) {
    append_run_header(out, identifier, values);
    append_protein_line(out, sequence, values.located.start, values.located.end, values.located.reverse,
                        amino_acids, false);
}

void append_orf_fasta(std::string& out, const OrfValues& orf) {
    append_orf_header(out, orf);
    append_strand_line(out, orf.record().sequence, orf.start(), orf.end(), orf.orf().reverse);
}

void append_orf_protein(std::string& out, const OrfValues& orf) {
    append_orf_header(out, orf);
    append_protein_line(out, orf.record().sequence, orf.start(), orf.end(), orf.orf().reverse,
                        orf.record().amino_acids, orf.record().from_start);
}

std::size_t run_fasta_bound(std::size_t identifier_length, std::size_t sequence_length) noexcept {
    return header_bound(identifier_length) + sequence_length + 1;
}

std::size_t run_protein_bound(std::size_t identifier_length, std::size_t sequence_length) noexcept {
    return header_bound(identifier_length) + sequence_length / 3 + 1;
}

}  // namespace marlinox::command
