// The genetic codes NCBI numbers: which codons stop a frame, which start one,
// and the amino acid of every codon. The data is generated from Biopython's
// tables (tools/gen_genetic_codes.py) into genetic_codes.cpp.
#pragma once

#include <span>
#include <string_view>

#include "analysis/codon_set.hpp"

namespace marlinox::analysis {

struct GeneticCode {
    unsigned number;
    // NCBI's names, separated by "; ".
    std::string_view name;
    // One letter per codon in codon_index order (A, C, G, T, first base most
    // significant); '*' for a stop codon.
    std::string_view amino_acids;
    CodonSet stops;
    CodonSet starts;
    // The stops that NCBI also gives an amino acid, read by context; here they
    // always stop a frame.
    CodonSet context_stops;
};

// Every table, by increasing number.
std::span<const GeneticCode> genetic_codes() noexcept;

// The table of that number; nullptr for a number NCBI does not use.
const GeneticCode* genetic_code(unsigned number) noexcept;

}  // namespace marlinox::analysis
