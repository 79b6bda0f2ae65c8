// libFuzzer harness for the sequence kernels. Every input is taken as the bytes
// of one sequence, valid UTF-8 or not, and each check compares a fast path with
// the plain path it must agree with:
//   - the dispatching run kernel against the literal kernel (upper-case, reverse
//     complement, scan): the same run length, or a failure with the same message;
//   - on ASCII input, the one-pass ASCII scan, at every scan level the
//     processor offers, against the literal kernel;
//   - on ASCII input, the located scan at every level against the brute-force
//     location over the six frames, and its run against the plain scan's;
//   - the located and GC-counting scans with a stop set taken from the
//     input's first bytes, at every level, against the brute-force location;
//   - the ORF scan at every level against the frames walked codon by codon,
//     under rules and stops taken from the input's first bytes;
//   - the GC kernel against a byte count written out here.
// A disagreement aborts, which libFuzzer records as a crash with its input.
// Built by tools/fuzz.sh with -fsanitize=fuzzer,address,undefined.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <algorithm>
#include <vector>
#include <string>
#include <string_view>

#include "analysis/kernels.hpp"
#include "analysis/orf_scan.hpp"
#include "analysis/scan_level.hpp"
#include "analysis/stop_free_run.hpp"
#include "failure/internal_failure.hpp"
#include "../cpp/located_run_model.hpp"
#include "../cpp/orf_model.hpp"

namespace {

using namespace marlinox::analysis;

// A kernel's outcome: its value, or the message of the failure it raised.
struct Outcome {
    std::optional<std::size_t> run;
    std::string failure;

    bool operator==(const Outcome&) const = default;
};

template <typename Kernel>
Outcome outcome_of(Kernel kernel, std::string_view sequence) {
    try {
        return {kernel(sequence), {}};
    } catch (const marlinox::InternalFailure& failure) {
        return {std::nullopt, failure.message()};
    }
}

std::string describe(const Outcome& outcome) {
    return outcome.run ? "run " + std::to_string(*outcome.run) : "failure: " + outcome.failure;
}

[[noreturn]] void disagree(const char* what, const Outcome& fast, const Outcome& plain) {
    std::fprintf(stderr, "%s disagrees with the literal kernel:\n  fast:  %s\n  plain: %s\n", what,
                 describe(fast).c_str(), describe(plain).c_str());
    std::abort();
}

double plain_gc_fraction(std::string_view sequence) {
    if (sequence.empty()) return 0.0;
    std::size_t count = 0;
    for (char c : sequence) count += (c == 'G' || c == 'C' || c == 'g' || c == 'c') ? 1 : 0;
    return static_cast<double>(count) / static_cast<double>(sequence.size());
}

// Rules from the first two bytes (so that the fuzzer reaches every kind) and
// start codons from the next eight; the whole input is still the text.
OrfRules rules_from(std::string_view sequence) {
    const auto byte = [&](std::size_t i) { return i < sequence.size() ? static_cast<unsigned char>(sequence[i]) : 0u; };
    OrfRules rules;
    // Short minimums mostly; some above 20 codons, where only a frame's first
    // stop in a block can end a kept run, and some above 41, where the scan
    // looks for stops only after blocks without one.
    constexpr std::size_t kFloors[4] = {0, 21, 42, 0};
    rules.min_codons = kFloors[byte(1) >> 6] + (byte(1) >> 6 == 2 ? 8 * (byte(0) & 7u) : byte(0) & 7u);
    rules.max_codons = (byte(0) & 8u) != 0 ? rules.min_codons + (byte(1) & 15u) : rules.max_codons;
    rules.from_start = (byte(0) & 16u) != 0;
    rules.forward = (byte(0) & 32u) == 0 || (byte(0) & 64u) == 0;
    rules.reverse = (byte(0) & 32u) != 0 || (byte(0) & 64u) == 0;
    rules.start_codons = std::uint64_t{1} << 14;  // ATG
    for (std::size_t i = 2; i < 10; ++i) rules.start_codons |= std::uint64_t{(byte(i) & 128u) != 0} << (byte(i) & 63u);
    return rules;
}

// A stop set from the input: the standard one for a quarter of the inputs,
// otherwise the codons picked by the high bit of bytes 10 to 15.
CodonSet stops_from(std::string_view sequence) {
    const auto byte = [&](std::size_t i) { return i < sequence.size() ? static_cast<unsigned char>(sequence[i]) : 0u; };
    if ((byte(1) & 0x30u) == 0) return kStandardStops;
    CodonSet stops = 0;
    for (std::size_t i = 10; i < 16; ++i) stops |= CodonSet{(byte(i) & 128u) != 0} << (byte(i) & 63u);
    return stops;
}

// The located and the GC-counting scans with the input's stop set, at every
// level, against the brute-force location.
void check_stop_set(std::string_view sequence, CodonSet stops) {
    const bool ascii = is_ascii(sequence);
    const LocatedRun expected = ascii ? located_by_definition(sequence, stops) : LocatedRun{};
    for (const ScanLevel level : available_scan_levels()) {
        const std::optional<LocatedRun> located = locate_stop_free_run_if_ascii(sequence, stops, level);
        const std::optional<RunAndGc> counted = stop_free_run_and_gc_if_ascii(sequence, stops, level);
        const bool agrees = ascii ? located && *located == expected && counted &&
                                        *counted == RunAndGc{expected.run, expected.gc_bytes}
                                  : !located && !counted;
        if (!agrees) {
            std::fprintf(stderr, "scan with stops %016llx at %s: %s, expected %s\n",
                         static_cast<unsigned long long>(stops), scan_level_name(level).data(),
                         located ? describe(*located).c_str() : "not ASCII",
                         ascii ? describe(expected).c_str() : "not ASCII");
            std::abort();
        }
    }
}

void check_orfs(std::string_view sequence, CodonSet stops) {
    OrfRules rules = rules_from(sequence);
    rules.stop_codons = stops;
    const std::vector<Orf> expected = orfs_by_definition(sequence, rules);
    for (const ScanLevel level : available_scan_levels()) {
        std::vector<Orf> found;
        find_orfs(sequence, rules, found, level);
        if (found != expected) {
            std::fprintf(stderr, "ORF scan at %s: %zu ORFs, expected %zu\n", scan_level_name(level).data(), found.size(),
                         expected.size());
            for (std::size_t i = 0; i < std::min(found.size(), expected.size()); ++i) {
                if (found[i] != expected[i]) {
                    std::fprintf(stderr, "  first difference at %zu: %s, expected %s\n", i, describe(found[i]).c_str(),
                                 describe(expected[i]).c_str());
                    break;
                }
            }
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view sequence(reinterpret_cast<const char*>(data), size);

    const Outcome plain = outcome_of(stop_free_run_literal, sequence);
    const Outcome dispatched = outcome_of(calculate_stop_free_run_single, sequence);
    if (dispatched != plain) disagree("calculate_stop_free_run_single", dispatched, plain);

    if (is_ascii(sequence)) {
        if (!plain.run) disagree("an ASCII text failed in the literal kernel", plain, plain);
        const Outcome ascii{stop_free_run_ascii(sequence), {}};
        if (ascii != plain) disagree("stop_free_run_ascii", ascii, plain);
    }
    // Every scan level this processor offers: the ASCII run, or no answer for
    // a text with any byte from 0x80 up.
    for (const ScanLevel level : available_scan_levels()) {
        const std::optional<std::size_t> run = stop_free_run_if_ascii(sequence, level);
        const Outcome scanned{run, run ? std::string() : plain.failure};
        if (is_ascii(sequence) ? scanned != plain : run.has_value())
            disagree(std::string(scan_level_name(level)).c_str(), scanned, plain);
        // The scan that counts G and C too: the same run, the GC kernel's count.
        const std::optional<RunAndGc> counted = stop_free_run_and_gc_if_ascii(sequence, level);
        if (counted.has_value() != run.has_value() ||
            (counted && (counted->run != *run ||
                         gc_fraction(counted->gc_bytes, sequence.size()) != plain_gc_fraction(sequence))))
            disagree("the scan counting G and C", scanned, plain);
    }
    if (is_ascii(sequence)) {
        const LocatedRun expected = located_by_definition(sequence);
        for (const ScanLevel level : available_scan_levels()) {
            const std::optional<LocatedRun> located = locate_stop_free_run_if_ascii(sequence, level);
            if (!located || *located != expected || located->run != *plain.run) {
                std::fprintf(stderr, "located scan at %s: %s, expected %s\n", scan_level_name(level).data(),
                             located ? describe(*located).c_str() : "not ASCII", describe(expected).c_str());
                std::abort();
            }
        }
    } else {
        for (const ScanLevel level : available_scan_levels())
            if (locate_stop_free_run_if_ascii(sequence, level)) disagree("a located scan of non-ASCII text", plain, plain);
    }
    if (is_ascii(sequence)) {
        // ASCII runs fit in a frame of the text: at most floor(n / 3) codons.
        if (*plain.run > size / 3) disagree("run longer than the text allows", plain, plain);
    }

    const CodonSet stops = stops_from(sequence);
    check_stop_set(sequence, stops);
    check_orfs(sequence, stops);

    const double gc = calculate_gc_content_single(sequence);
    if (gc != plain_gc_fraction(sequence) || !(gc >= 0.0 && gc <= 1.0)) {
        std::fprintf(stderr, "GC fraction %.17g, expected %.17g\n", gc, plain_gc_fraction(sequence));
        std::abort();
    }
    return 0;
}
