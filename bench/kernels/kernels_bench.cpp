// Kernel throughput per instruction set, against memcpy over the same bytes.
// Each benchmark reports bytes per second over one buffer larger than the
// caches (MARLINOX_BENCH_BYTES, default 64 MiB): random ACGT text, or, when
// MARLINOX_BENCH_GENOME names a gzipped FASTA file, its sequence lines joined
// and repeated, since real genomes have far longer open frames.
//
//   marlinox_kernel_bench [benchmark flags]
//   marlinox_kernel_bench --interleaved=ROUNDS
//   marlinox_kernel_bench --stop-sets=ROUNDS
//
// The second form times memcpy, then the plain and the located scan at every
// level in turn, round after round, and prints medians and quartiles of the
// rates and of ratios within a round: each scan's time to memcpy's, each
// level's to the level below it, the located scan's to the plain one's. On a
// busy machine only an interleaved comparison is fair.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/gc_content_levels.hpp"
#include "analysis/codon_set.hpp"
#include "analysis/kernels.hpp"
#include "analysis/level_kernels.hpp"
#include "analysis/orf_scan.hpp"
#include "analysis/scan_level.hpp"
#include "analysis/stop_free_run.hpp"

namespace {

using marlinox::analysis::ScanLevel;

// The sequence lines of a gzipped FASTA file, joined.
std::string read_genome(const char* path) {
    const std::unique_ptr<gzFile_s, int (*)(gzFile)> file(gzopen(path, "rb"), gzclose);
    if (!file) throw std::runtime_error(std::string("cannot open ") + path);
    std::string sequence;
    char piece[1 << 16];
    // A line longer than the buffer arrives in several pieces.
    bool line_start = true, header = false;
    while (gzgets(file.get(), piece, sizeof piece) != nullptr) {
        std::string_view rest(piece);
        if (line_start) header = !rest.empty() && rest.front() == '>';
        line_start = !rest.empty() && rest.back() == '\n';
        if (header) continue;
        while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.remove_suffix(1);
        sequence += rest;
    }
    return sequence;
}

const std::string& text() {
    static const std::string bench_text = [] {
        std::size_t bytes = std::size_t{64} << 20;
        if (const char* env = std::getenv("MARLINOX_BENCH_BYTES")) bytes = std::strtoull(env, nullptr, 10);
        if (const char* genome = std::getenv("MARLINOX_BENCH_GENOME")) {
            const std::string one = read_genome(genome);
            if (one.empty()) throw std::runtime_error(std::string("no sequence in ") + genome);
            std::string out;
            out.reserve(bytes);
            while (out.size() < bytes) out.append(one, 0, std::min(one.size(), bytes - out.size()));
            return out;
        }
        std::mt19937_64 rng(6);
        std::string out(bytes, 'A');
        for (std::size_t i = 0; i < bytes; i += 32) {
            std::uint64_t bits = rng();
            for (std::size_t k = i; k < std::min(bytes, i + 32); ++k, bits >>= 2) out[k] = "ACGT"[bits & 3];
        }
        return out;
    }();
    return bench_text;
}

void set_bytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text().size()));
}

void memcpy_same_bytes(benchmark::State& state) {
    std::vector<char> target(text().size());
    std::memset(target.data(), 1, target.size());  // fault the pages in first
    for (auto _ : state) {
        std::memcpy(target.data(), text().data(), text().size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

void stop_free_run(benchmark::State& state, ScanLevel level) {
    for (auto _ : state) benchmark::DoNotOptimize(marlinox::analysis::stop_free_run_if_ascii(text(), level));
    set_bytes(state);
}

void located_scan(benchmark::State& state, ScanLevel level) {
    for (auto _ : state) benchmark::DoNotOptimize(marlinox::analysis::locate_stop_free_run_if_ascii(text(), level));
    set_bytes(state);
}

void separate_ascii_check_then_scan(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(marlinox::analysis::is_ascii(text()));
        benchmark::DoNotOptimize(marlinox::analysis::stop_free_run_ascii(text()));
    }
    set_bytes(state);
}

void gc_content(benchmark::State& state, ScanLevel level) {
    for (auto _ : state) benchmark::DoNotOptimize(marlinox::analysis::gc_content_with(text(), level));
    set_bytes(state);
}

// Per-call overhead: the scan of one short read, as a batch of reads sees it.
template <class Scan>
void reads_of_150(benchmark::State& state, Scan scan) {
    const std::string_view all = text();
    std::size_t offset = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(scan(all.substr(offset, 150)));
        offset = offset + 150 < (1u << 20) ? offset + 150 : 0;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 150);
}

void register_all() {
    const auto single = [](std::string_view read) { return marlinox::analysis::calculate_stop_free_run_single(read); };
    benchmark::RegisterBenchmark("memcpy", memcpy_same_bytes)->UseRealTime();
    for (const ScanLevel level : marlinox::analysis::available_scan_levels()) {
        const std::string name(marlinox::analysis::scan_level_name(level));
        benchmark::RegisterBenchmark("stop_free_run/" + name, stop_free_run, level)->UseRealTime();
    }
    for (const ScanLevel level : marlinox::analysis::available_scan_levels()) {
        const std::string name(marlinox::analysis::scan_level_name(level));
        benchmark::RegisterBenchmark("located_scan/" + name, located_scan, level)->UseRealTime();
    }
    benchmark::RegisterBenchmark("stop_free_run/separate_check", separate_ascii_check_then_scan)->UseRealTime();
    for (const ScanLevel level : marlinox::analysis::available_scan_levels()) {
        const std::string name(marlinox::analysis::scan_level_name(level));
        benchmark::RegisterBenchmark("gc_content/" + name, gc_content, level)->UseRealTime();
    }
    benchmark::RegisterBenchmark("stop_free_run/read_150", reads_of_150<decltype(single)>, single);
    // The command's two scans of a read: the run with the GC count (its
    // default table) and the located scan (location columns and formats).
    for (const ScanLevel level : marlinox::analysis::available_scan_levels()) {
        const std::string name(marlinox::analysis::scan_level_name(level));
        const auto with_gc = [level](std::string_view read) {
            return marlinox::analysis::stop_free_run_and_gc_if_ascii(read, level);
        };
        const auto located = [level](std::string_view read) {
            return marlinox::analysis::locate_stop_free_run_if_ascii(read, level);
        };
        benchmark::RegisterBenchmark("read_150_with_gc/" + name, reads_of_150<decltype(with_gc)>, with_gc);
        benchmark::RegisterBenchmark("read_150_located/" + name, reads_of_150<decltype(located)>, located);
    }
}

}  // namespace

double median(std::vector<double> values, double at = 0.5) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(at * static_cast<double>(values.size() - 1) + 0.5)];
}

// Medians of per-round ratios, with their quartiles.
std::string ratio_of(const std::vector<double>& numerator, const std::vector<double>& denominator) {
    std::vector<double> ratios;
    for (std::size_t round = 0; round < numerator.size(); ++round) ratios.push_back(numerator[round] / denominator[round]);
    char out[64];
    std::snprintf(out, sizeof out, "%.2f (%.2f..%.2f)", median(ratios), median(ratios, 0.25), median(ratios, 0.75));
    return out;
}

std::string rate_of(double gb, const std::vector<double>& seconds) {
    char out[64];
    std::snprintf(out, sizeof out, "%.2f (%.2f..%.2f)", gb / median(seconds), gb / median(seconds, 0.75),
                  gb / median(seconds, 0.25));
    return out;
}

int interleaved(long rounds) {
    using clock = std::chrono::steady_clock;
    const std::string& source = text();
    std::vector<char> target(source.size());
    std::memset(target.data(), 1, target.size());
    const auto levels = marlinox::analysis::available_scan_levels();
    std::vector<double> copy_seconds;
    std::vector<std::vector<double>> plain_seconds(levels.size()), located_seconds(levels.size());
    std::vector<std::size_t> runs(levels.size());
    const auto timed = [](auto&& work) {
        const auto start = clock::now();
        work();
        return std::chrono::duration<double>(clock::now() - start).count();
    };
    for (long round = 0; round < rounds; ++round) {
        copy_seconds.push_back(timed([&] {
            std::memcpy(target.data(), source.data(), source.size());
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }));
        for (std::size_t k = 0; k < levels.size(); ++k) {
            plain_seconds[k].push_back(timed(
                [&] { runs[k] = marlinox::analysis::stop_free_run_if_ascii(source, levels[k]).value_or(0); }));
            located_seconds[k].push_back(timed([&] {
                const auto located = marlinox::analysis::locate_stop_free_run_if_ascii(source, levels[k]);
                if (!located || located->run != runs[k]) throw std::logic_error("the located scan disagrees");
            }));
        }
    }
    const double gb = static_cast<double>(source.size()) / 1e9;
    std::printf("%zu bytes, %ld rounds; GB/s median (quartiles); ratios of times within a round, median "
                "(quartiles)\n",
                source.size(), rounds);
    std::printf("%-11s %-19s\n", "memcpy", rate_of(gb, copy_seconds).c_str());
    std::printf("%-11s %-19s %-19s %-19s %-19s %-19s %-19s %s\n", "level", "plain GB/s", "plain / memcpy",
                "plain / below", "located GB/s", "located / memcpy", "located / plain", "run");
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const std::string name(marlinox::analysis::scan_level_name(levels[k]));
        const std::string below = k == 0 ? "-" : ratio_of(plain_seconds[k], plain_seconds[k - 1]);
        std::printf("%-11s %-19s %-19s %-19s %-19s %-19s %-19s %zu\n", name.c_str(),
                    rate_of(gb, plain_seconds[k]).c_str(), ratio_of(plain_seconds[k], copy_seconds).c_str(),
                    below.c_str(), rate_of(gb, located_seconds[k]).c_str(),
                    ratio_of(located_seconds[k], copy_seconds).c_str(),
                    ratio_of(located_seconds[k], plain_seconds[k]).c_str(), runs[k]);
    }
    return 0;
}

int stop_sets(long rounds) {
    namespace analysis = marlinox::analysis;
    using clock = std::chrono::steady_clock;
    struct Code {
        const char* name;
        analysis::CodonSet stops;
    };
    // Table 11 has the standard stops: the same scan, a check of the noise.
    // "1 as a set": the standard stops through the scan for any set, which
    // compares the two scans on the same runs (other codes' stops make other
    // runs, whose bookkeeping costs more or less).
    const Code codes[] = {{"1", analysis::kStandardStops},
                          {"11", analysis::codons_of("TAA,TAG,TGA")},
                          {"1 as a set", analysis::kStandardStops},
                          {"2", analysis::codons_of("TAA,TAG,AGA,AGG")},
                          {"3", analysis::codons_of("TAA,TAG")},
                          {"6", analysis::codons_of("TGA")},
                          {"22", analysis::codons_of("TCA,TAA,TGA")},
                          {"23", analysis::codons_of("TTA,TAA,TAG,TGA")}};
    constexpr std::size_t kCodes = std::size(codes);
    constexpr std::size_t kAsASet = 2;
    struct Scan {
        const char* name;
        std::size_t min_codons;  // 0: the located scan
    };
    const Scan scans[] = {{"located", 0}, {"orfs>=30", 10}, {"orfs>=300", 100}};
    const std::string& source = text();
    const auto levels = analysis::available_scan_levels();
    // [scan][level][code] -> seconds per round
    std::vector<std::vector<std::vector<std::vector<double>>>> seconds(
        std::size(scans), std::vector<std::vector<std::vector<double>>>(levels.size(), std::vector<std::vector<double>>(kCodes)));
    std::vector<analysis::Orf> orfs;
    const auto timed = [](auto&& work) {
        const auto start = clock::now();
        work();
        return std::chrono::duration<double>(clock::now() - start).count();
    };
    for (long round = 0; round < rounds; ++round) {
        for (std::size_t s = 0; s < std::size(scans); ++s) {
            for (std::size_t k = 0; k < levels.size(); ++k) {
                for (std::size_t c = 0; c < kCodes; ++c) {
                    seconds[s][k][c].push_back(timed([&] {
                        if (scans[s].min_codons == 0) {
                            if (c == kAsASet)
                                benchmark::DoNotOptimize(analysis::kernels_for(levels[k]).located_set_scan(source, codes[c].stops));
                            else
                                benchmark::DoNotOptimize(analysis::locate_stop_free_run_if_ascii(source, codes[c].stops, levels[k]));
                            return;
                        }
                        if (c == kAsASet) return;
                        analysis::OrfRules rules;
                        rules.min_codons = scans[s].min_codons;
                        rules.stop_codons = codes[c].stops;
                        orfs.clear();
                        benchmark::DoNotOptimize(analysis::find_orfs(source, rules, orfs, levels[k]));
                    }));
                }
            }
        }
    }
    std::printf("%zu bytes, %ld rounds; each code's time to the standard code's (table 1) within a round, "
                "median (quartiles)\n",
                source.size(), rounds);
    for (std::size_t s = 0; s < std::size(scans); ++s) {
        std::printf("%-10s %-11s %-10s", scans[s].name, "level", "table 1 ms");
        for (std::size_t c = 1; c < kCodes; ++c) std::printf(" table %-13s", codes[c].name);
        std::printf("\n");
        for (std::size_t k = 0; k < levels.size(); ++k) {
            std::printf("%-10s %-11s %-10.1f", "", std::string(analysis::scan_level_name(levels[k])).c_str(),
                        1e3 * median(seconds[s][k][0]));
            for (std::size_t c = 1; c < kCodes; ++c) {
                const bool shown = c != kAsASet || scans[s].min_codons == 0;
                std::printf(" %-19s", shown ? ratio_of(seconds[s][k][c], seconds[s][k][0]).c_str() : "-");
            }
            std::printf("\n");
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]).starts_with("--interleaved="))
        return interleaved(std::strtol(argv[1] + 14, nullptr, 10));
    if (argc == 2 && std::string_view(argv[1]).starts_with("--stop-sets="))
        return stop_sets(std::strtol(argv[1] + 12, nullptr, 10));
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
