// Every open reading frame of a text, not only the longest: the maximal runs
// of whole codons without a stop in each of the six frames, or the part of
// each such run from its first start codon on. One pass over the text finds
// the stops; the runs between them are cut in order, frame by frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "analysis/codon_set.hpp"
#include "analysis/scan_level.hpp"

namespace marlinox::analysis {

// Which runs count as open reading frames, and which of them are kept.
struct OrfRules {
    // Keep ORFs of min_codons to max_codons codons, both inclusive; at least 1.
    std::size_t min_codons = 1;
    std::size_t max_codons = std::numeric_limits<std::size_t>::max();
    // false: every maximal stop-free run; true: each run from its first start
    // codon to its end, and nothing for a run without one.
    bool from_start = false;
    // The start codons.
    CodonSet start_codons = 0;
    // The codons that end a run.
    CodonSet stop_codons = kStandardStops;
    bool forward = true;
    bool reverse = true;
};

// One ORF. `start` and `end` are 0-based, half-open forward-strand positions
// of exactly its codons, never of the stop after it; a reverse ORF reads them
// reverse-complemented. `frame` is its first byte's position on its own strand
// modulo 3. `open_five`: a between-stops ORF that begins at the first whole
// codon of its frame; `open_three`: no stop follows it, the text ends first.
struct Orf {
    std::size_t start = 0, end = 0;
    bool reverse = false;
    unsigned frame = 0;
    bool open_five = false;
    bool open_three = false;

    std::size_t codons() const noexcept { return (end - start) / 3; }
    bool operator==(const Orf&) const = default;
};

// Appends every ORF of `sequence` kept by `rules` to `out`, ordered by start,
// then end, then forward before reverse. Returns the bytes of `sequence` that
// are G or C in either case, counted in the same pass (the GC kernel's count).
// The second form runs the given instruction set, which must be available
// (tests and benchmarks); a level this build lacks runs the portable one.
std::size_t find_orfs(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out);
std::size_t find_orfs(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out, ScanLevel level);

}  // namespace marlinox::analysis
