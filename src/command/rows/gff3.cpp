#include "command/rows/gff3.hpp"

#include <array>

#include "command/rows/float_repr.hpp"

namespace marlinox::command {
namespace {

// What a feature line says, whichever mode it comes from.
struct Feature {
    std::string_view identifier;
    std::size_t number;
    std::size_t start, end;
    char strand;
    std::size_t codons;
    std::array<char, 2> partial;
    double evalue;
    std::string_view start_codon;  // empty: no start_codon attribute
};

bool is_seqid_byte(unsigned char c) noexcept {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return alnum || std::string_view(".:^*$@!+_?-|").find(static_cast<char>(c)) != std::string_view::npos;
}

// Bytes that GFF3 reserves in attribute values, control bytes, and bytes
// beyond ASCII that might not be UTF-8.
bool is_plain_value_byte(unsigned char c) noexcept {
    return c > 0x20 && c < 0x7F && std::string_view("%;=&,").find(static_cast<char>(c)) == std::string_view::npos;
}

template <class Plain>
void append_encoded(std::string& out, std::string_view text, Plain plain) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (plain(byte)) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15u];
        }
    }
}

void append_feature(std::string& out, const Feature& feature) {
    if (feature.identifier.empty()) out += '.';
    append_encoded(out, feature.identifier, is_seqid_byte);
    out += "\tmarlinox\tORF\t";
    append_count(out, feature.start + 1);
    out += '\t';
    append_count(out, feature.end);
    out += '\t';
    append_float_repr(out, feature.evalue);
    out += '\t';
    out += feature.strand;
    out += "\t0\tID=";
    append_encoded(out, feature.identifier, is_plain_value_byte);
    out += '_';
    append_count(out, feature.number);
    out += ";codons=";
    append_count(out, feature.codons);
    out += ";partial=";
    out.append(feature.partial.data(), feature.partial.size());
    out += ";evalue=";
    append_float_repr(out, feature.evalue);
    if (!feature.start_codon.empty()) {
        out += ";start_codon=";
        out += feature.start_codon;
    }
    out += '\n';
}

}  // namespace

std::size_t run_gff3_bound(std::size_t identifier_length) noexcept {
    // The identifier twice, every byte percent-encoded at worst; four counts,
    // two floats, and the fixed text of the line.
    return 6 * identifier_length + 4 * kMaxCountLength + 2 * kMaxFloatReprLength + 64;
}

void append_run_gff3(std::string& out, std::string_view identifier, const RecordValues& values) {
    const analysis::LocatedRun& run = values.located;
    // A longest run is maximal: it is cut by the record's ends or by stops,
    // so its ends are open exactly where they lie within a codon of the record's.
    const bool lower_open = run.start < 3;
    const bool upper_open = run.end + 3 > values.length;
    append_feature(out, {identifier, 1, run.start, run.end, values.strand_sign(), run.run,
                         {lower_open ? '1' : '0', upper_open ? '1' : '0'}, values.evalue(), {}});
}

void append_orf_gff3(std::string& out, const OrfValues& orf) {
    std::array<char, 2> partial;
    orf.write_partial(partial.data());
    char start_codon[3];
    const auto start_length = static_cast<std::size_t>(orf.write_start_codon(start_codon) - start_codon);
    append_feature(out, {orf.record().identifier, orf.number(), orf.start(), orf.end(), orf.strand_sign(),
                         orf.codons(), partial, orf.evalue(), std::string_view(start_codon, start_length)});
}

}  // namespace marlinox::command
