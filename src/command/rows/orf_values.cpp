#include "command/rows/orf_values.hpp"

#include "analysis/bases.hpp"
#include "analysis/kernels.hpp"

namespace marlinox::command {
namespace {

char upper_complement(char c) noexcept {
    switch (c & ~0x20) {
        case 'A': return 'T';
        case 'C': return 'G';
        case 'G': return 'C';
        case 'T': return 'A';
        default: return c;
    }
}

}  // namespace

double record_no_stop(std::size_t length, std::size_t gc_bytes, analysis::CodonSet stops) noexcept {
    return analysis::no_stop_per_codon(analysis::gc_fraction(gc_bytes, length), stops);
}

std::size_t count_non_acgt(std::string_view bytes) noexcept {
    std::size_t acgt = 0;
    for (const char c : bytes) acgt += analysis::kBaseCode[static_cast<unsigned char>(c)] != analysis::kNotABase;
    return bytes.size() - acgt;
}

double OrfValues::gc_fraction() const noexcept { return analysis::calculate_gc_content_single(bytes()); }

std::size_t OrfValues::non_acgt() const noexcept { return count_non_acgt(bytes()); }

char* OrfValues::write_partial(char* to) const noexcept {
    const bool lower = orf_.reverse ? orf_.open_three : orf_.open_five;
    const bool upper = orf_.reverse ? orf_.open_five : orf_.open_three;
    *to++ = lower ? '1' : '0';
    *to++ = upper ? '1' : '0';
    return to;
}

char* OrfValues::write_codon(char* to, std::size_t at) const noexcept {
    const char* codon = record_.sequence.data() + at;
    for (int k = 0; k < 3; ++k)
        *to++ = orf_.reverse ? upper_complement(codon[2 - k]) : static_cast<char>(codon[k] & ~0x20);
    return to;
}

char* OrfValues::write_start_codon(char* to) const noexcept {
    if (!record_.from_start) return to;
    return write_codon(to, orf_.reverse ? orf_.end - 3 : orf_.start);
}

char* OrfValues::write_stop_codon(char* to) const noexcept {
    if (orf_.open_three) return to;
    return write_codon(to, orf_.reverse ? orf_.start - 3 : orf_.end);
}

}  // namespace marlinox::command
