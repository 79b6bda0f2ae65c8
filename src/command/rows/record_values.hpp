// One record's values, chained: the GC fraction and the run feed the ratio and
// the probability, and those the statistics of the wider table. Every value
// comes from the one formula of analysis/, as the module's functions compute it.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "analysis/kernels.hpp"
#include "analysis/run_statistics.hpp"
#include "analysis/stop_free_run.hpp"
#include "failure/internal_failure.hpp"

namespace marlinox::command {

struct RecordValues {
    std::size_t length = 0;
    double gc_fraction = 0.0;
    double no_stop = 1.0;  // q, the per-codon probability of no stop
    double ratio = 0.0;
    double probability = 1.0;
    // The run, where it lies and the bytes counted in the same pass; only the
    // run when not located.
    analysis::LocatedRun located;

    std::size_t stop_free_run() const noexcept { return located.run; }
    char strand_sign() const noexcept { return located.reverse ? '-' : '+'; }
    double log10_probability() const noexcept {
        return analysis::log10_run_probability(located.run, no_stop, probability);
    }
    double evalue() const noexcept { return analysis::run_evalue(located.run, length, no_stop, probability); }
};

// `locate`: find where the run lies, in the same scan that measures it; runs
// end at the codons of `stops`. The command's sequences are ASCII (the reader
// refuses any other byte).
inline RecordValues record_values(std::string_view sequence, bool locate, analysis::CodonSet stops) {
    RecordValues values;
    values.length = sequence.size();
    if (locate) {
        const std::optional<analysis::LocatedRun> located = analysis::locate_stop_free_run_if_ascii(sequence, stops);
        if (!located) fail("a sequence with a byte from 0x80 up reached the located scan");
        values.located = *located;
        // The same count as the GC kernel's, taken in the located scan's pass.
        values.gc_fraction = analysis::gc_fraction(located->gc_bytes, values.length);
    } else {
        // One pass for both; the same counts as the GC and run kernels'.
        const std::optional<analysis::RunAndGc> scanned = analysis::stop_free_run_and_gc_if_ascii(sequence, stops);
        if (!scanned) fail("a sequence with a byte from 0x80 up reached the stop scan");
        values.gc_fraction = analysis::gc_fraction(scanned->gc_bytes, values.length);
        values.located.run = scanned->run;
    }
    values.ratio = analysis::run_ratio(values.located.run, values.length);
    values.no_stop = analysis::no_stop_per_codon(values.gc_fraction, stops);
    values.probability = analysis::no_stop_power(values.no_stop, values.located.run);
    return values;
}

}  // namespace marlinox::command
