// Steps of the stop-free run kernel, exposed for tests and fuzzers. The kernel
// itself is calculate_stop_free_run_single (kernels.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "analysis/codon_set.hpp"
#include "analysis/scan_level.hpp"

namespace marlinox::analysis {

// Full Unicode uppercase of a UTF-8 text. Invalid bytes are copied unchanged.
std::string uppercase_full(std::string_view text);

// Characters of `text` from last to first, A<->T and C<->G complemented (either
// case in, upper case out); every other character, multi-byte ones and invalid
// bytes included, is kept as it is. The result has the byte length of `text`.
std::string reverse_complement(std::string_view text);

// The kernel as its definition reads: upper-case, reverse-complement, scan both
// strands. Reference for the level scans and the dispatching kernel.
std::size_t stop_free_run_literal(std::string_view sequence);

// Same result as stop_free_run_literal for a text whose bytes are all below
// 0x80, in one pass over the text and without building any copy of it.
std::size_t stop_free_run_ascii(std::string_view sequence) noexcept;

// The ASCII scan with the ASCII check in the same pass: the run when every
// byte of `sequence` is below 0x80, nothing otherwise. The second form runs
// the scan with the given instruction set, which must be available (tests and
// benchmarks); a level this build lacks runs the portable scan.
std::optional<std::size_t> stop_free_run_if_ascii(std::string_view sequence) noexcept;
std::optional<std::size_t> stop_free_run_if_ascii(std::string_view sequence, ScanLevel level) noexcept;

// The run and the count of bytes that are G or C (calculate_gc_content_single's
// count) of a text whose bytes are all below 0x80, from one pass over the text
// where the level allows; nothing otherwise. The second form runs the given
// instruction set, as stop_free_run_if_ascii's does.
struct RunAndGc {
    std::size_t run = 0;
    std::size_t gc_bytes = 0;

    bool operator==(const RunAndGc&) const = default;
};
std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence) noexcept;
std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence, ScanLevel level) noexcept;
// The same with the codons of `stops` as the stops; for kStandardStops the
// forms above.
std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence, CodonSet stops) noexcept;
std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence, CodonSet stops,
                                                      ScanLevel level) noexcept;

// Where the longest stop-free run lies, found by the same scan that measures
// it. Among the runs of that length, the first in the order forward frames 0,
// 1, 2, then reverse frames 0, 1, 2, within a frame by increasing position on
// its strand (a reverse run by decreasing `end`). `start` and `end` are the
// 0-based, half-open forward-strand bytes of exactly the run's codons; a
// reverse run reads them reverse-complemented. `frame` is the run's position
// on its own strand modulo 3. All location fields are 0 when `run` is 0.
struct LocatedRun {
    std::size_t run = 0;
    bool reverse = false;
    unsigned frame = 0;
    std::size_t start = 0, end = 0;
    // Counted in the same pass: bytes that are not A, C, G or T in either case,
    // and bytes that are G or C (calculate_gc_content_single's count).
    std::size_t non_acgt = 0;
    std::size_t gc_bytes = 0;

    bool operator==(const LocatedRun&) const = default;
};

// The located scan of a text whose bytes are all below 0x80, nothing
// otherwise; its `run` is always stop_free_run_if_ascii's. The second form
// runs the given instruction set, as stop_free_run_if_ascii's does.
std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence) noexcept;
std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence, ScanLevel level) noexcept;
// The same with the codons of `stops` as the stops (same order among equal
// runs, same counts); for kStandardStops the forms above.
std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence, CodonSet stops) noexcept;
std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence, CodonSet stops,
                                                        ScanLevel level) noexcept;

// Whether every byte of `text` is below 0x80; eight bytes at a time.
inline bool is_ascii(std::string_view text) noexcept {
    const char* p = text.data();
    std::size_t left = text.size();
    std::uint64_t high = 0;
    for (; left >= 8; p += 8, left -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        high |= word;
    }
    for (; left > 0; ++p, --left) high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080u) == 0;
}

}  // namespace marlinox::analysis
