// The located stop-free run as its definition reads, for the tests and the
// fuzzer to hold the scans against.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "analysis/stop_free_run.hpp"
#include "codon_model.hpp"

namespace marlinox::analysis {

// The location as defined, by brute force: both strands built out, every frame
// walked, the first run of the greatest length in scan order kept.
inline LocatedRun located_by_definition(std::string_view text, CodonSet stops = kStandardStops) {
    const std::string upper = uppercase_full(text);
    const std::string strands[2] = {upper, reverse_complement(upper)};
    const std::size_t m = text.size();
    LocatedRun best;
    for (int strand = 0; strand < 2; ++strand) {
        for (std::size_t frame = 0; frame < 3; ++frame) {
            std::size_t run_start = frame;
            for (std::size_t i = frame; i <= m; i += 3) {
                const bool closed = i + 3 > m;
                const std::string_view window = closed ? "" : std::string_view(strands[strand]).substr(i, 3);
                if (!closed && !in_codon_set(window, stops)) continue;
                const std::size_t codons = (i - run_start) / 3;
                if (codons > best.run) {
                    best.run = codons;
                    best.reverse = strand == 1;
                    best.frame = static_cast<unsigned>(frame);
                    best.start = strand == 0 ? run_start : m - i;
                    best.end = strand == 0 ? i : m - run_start;
                }
                if (closed) break;
                run_start = i + 3;
            }
        }
    }
    best.non_acgt = static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return std::string_view("ACGTacgt").find(c) == std::string_view::npos;
    }));
    best.gc_bytes = static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return std::string_view("GCgc").find(c) != std::string_view::npos;
    }));
    return best;
}

inline std::string describe(const LocatedRun& run) {
    return "run " + std::to_string(run.run) + (run.reverse ? " -" : " +") + std::to_string(run.frame) + " [" +
           std::to_string(run.start) + ", " + std::to_string(run.end) + ") non_acgt " + std::to_string(run.non_acgt) +
           " gc " + std::to_string(run.gc_bytes);
}

}  // namespace marlinox::analysis
