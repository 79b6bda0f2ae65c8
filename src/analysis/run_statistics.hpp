// The statistics of a stop-free run, each formula written once: the module's
// function bodies and the command's table both compute through these.
//
// Every step is one rounded double operation, in the order written; the build
// forbids contracting them into fused multiply-adds. Callers compare results
// bit for bit, on every processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/codon_set.hpp"

namespace marlinox::analysis {

// Codons of the run per byte of the sequence; 0.0 for an empty sequence.
// Inline: the module computes it once per item of a batch.
inline double run_ratio(std::size_t run_length, std::size_t length) noexcept {
    return length == 0 ? 0.0 : static_cast<double>(run_length) / static_cast<double>(length);
}

// q, the probability that one codon drawn at GC fraction `gc` is not a stop
// (TAA, TAG, TGA).
double no_stop_per_codon(double gc) noexcept;

// q for the stop codons `stops`, each base drawn independently: G and C with
// probability gc / 2, A and T with (1 - gc) / 2. For the standard stops,
// exactly the value above.
double no_stop_per_codon(double gc, CodonSet stops) noexcept;

// q to the `codons`: the probability of a stop-free run that long. An explicit
// binary exponentiation, least significant bit first, since a correctly
// rounded pow() differs in the last digits for long runs.
double no_stop_power(double q, std::uint64_t codons) noexcept;

// log10 of `probability` == q to the `run_length`, as double(run_length) *
// log10(q), which never underflows; 0.0 when the probability is exactly 1.
double log10_run_probability(std::uint64_t run_length, double q, double probability) noexcept;

// Expected number of maximal stop-free runs of at least `run_length` codons in
// the six frames of a random sequence of `length` bytes with the per-codon q
// and `probability` == q to the `run_length`. A frame starting at byte f (0,
// 1, 2; the same on both strands) holds c = (length - f) / 3 codons and adds
// probability * (1 + (c - run_length) * (1 - q)) when c >= run_length: a run
// may start at the frame's first codon, or after any of c - run_length codons
// that is a stop. The terms are added in scan order, forward frames first.
double run_evalue(std::uint64_t run_length, std::uint64_t length, double q, double probability) noexcept;

}  // namespace marlinox::analysis
