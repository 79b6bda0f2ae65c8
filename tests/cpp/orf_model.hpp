// The open reading frames as their definition reads, for the tests and the
// fuzzer to hold the ORF scan against: both strands written out byte by byte,
// every frame walked codon by codon.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/orf_scan.hpp"
#include "codon_model.hpp"

namespace marlinox::analysis {

inline std::string upper_ascii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

// Reverse complement of an upper-cased text; bytes other than A, C, G, T kept.
inline std::string reverse_complement_bytes(std::string_view upper) {
    std::string out(upper.rbegin(), upper.rend());
    for (char& c : out) {
        c = c == 'A' ? 'T' : c == 'T' ? 'A' : c == 'C' ? 'G' : c == 'G' ? 'C' : c;
    }
    return out;
}

inline std::vector<Orf> orfs_by_definition(std::string_view text, const OrfRules& rules) {
    const std::string upper = upper_ascii(text);
    const std::string strands[2] = {upper, reverse_complement_bytes(upper)};
    const std::size_t m = text.size();
    std::vector<Orf> found;
    for (int strand = 0; strand < 2; ++strand) {
        if (strand == 0 ? !rules.forward : !rules.reverse) continue;
        const std::string_view s = strands[strand];
        for (std::size_t frame = 0; frame < 3; ++frame) {
            std::size_t run_start = frame;
            for (std::size_t i = frame; i + 3 <= m + 3; i += 3) {
                const bool ended = i + 3 > m;
                const std::string_view codon = ended ? "" : s.substr(i, 3);
                if (!ended && !in_codon_set(codon, rules.stop_codons)) continue;
                std::size_t first = run_start;
                if (rules.from_start) {
                    while (first < i && !in_codon_set(s.substr(first, 3), rules.start_codons)) first += 3;
                }
                const std::size_t codons = (i - first) / 3;
                if (codons >= std::max<std::size_t>(rules.min_codons, 1) && codons <= rules.max_codons) {
                    Orf orf;
                    orf.reverse = strand == 1;
                    orf.start = strand == 0 ? first : m - i;
                    orf.end = strand == 0 ? i : m - first;
                    orf.frame = static_cast<unsigned>(first % 3);
                    orf.open_five = !rules.from_start && first == frame;
                    orf.open_three = ended;
                    found.push_back(orf);
                }
                if (ended) break;
                run_start = i + 3;
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const Orf& a, const Orf& b) {
        if (a.start != b.start) return a.start < b.start;
        if (a.end != b.end) return a.end < b.end;
        return !a.reverse && b.reverse;
    });
    return found;
}

inline std::string describe(const Orf& orf) {
    return (orf.reverse ? "-" : "+") + std::to_string(orf.frame) + " [" + std::to_string(orf.start) + ", " +
           std::to_string(orf.end) + ") partial " + (orf.open_five ? "1" : "0") + (orf.open_three ? "1" : "0");
}

}  // namespace marlinox::analysis
