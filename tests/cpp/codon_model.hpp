// Whether an upper-cased codon belongs to a codon set, written out letter by
// letter for the models of the scans.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string_view>

#include "analysis/codon_set.hpp"

namespace marlinox::analysis {

inline bool in_codon_set(std::string_view codon, CodonSet codons) {
    static constexpr std::string_view kBases = "ACGT";
    unsigned index = 0;
    for (char c : codon) {
        const auto base = kBases.find(c);
        if (base == std::string_view::npos) return false;
        index = index * 4 + static_cast<unsigned>(base);
    }
    return ((codons >> index) & 1u) != 0;
}

inline CodonSet codon_set_of(std::initializer_list<std::string_view> codons) {
    CodonSet set = 0;
    for (const std::string_view codon : codons) set |= CodonSet{1} << codon_index(reinterpret_cast<const unsigned char*>(codon.data()));
    return set;
}

// Stop sets to scan with besides the standard one: those of the vertebrate
// mitochondrial code, of codes with two, one and four stops, none, every
// codon; then a random set, of a few codons or about half of them.
inline CodonSet stop_set_to_try(std::mt19937& rng, unsigned round) {
    static const std::array<CodonSet, 8> kSets = {
        codon_set_of({"TAA", "TAG", "AGA", "AGG"}), codon_set_of({"TAA", "TAG"}), codon_set_of({"TGA"}),
        codon_set_of({"TAG"}), codon_set_of({"TCA", "TAA", "TGA"}), codon_set_of({"TTA", "TAA", "TAG", "TGA"}),
        CodonSet{0}, ~CodonSet{0}};
    if (round % 2 == 0) return kSets[(round / 2) % kSets.size()];
    if (round % 6 == 1) return CodonSet{rng()} << 32 | rng();
    CodonSet set = 0;
    for (int k = 1 + static_cast<int>(rng() % 5); k > 0; --k) set |= CodonSet{1} << (rng() % 64);
    return set;
}

}  // namespace marlinox::analysis
