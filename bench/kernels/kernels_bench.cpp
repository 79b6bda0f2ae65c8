// Kernel throughput per instruction set, against memcpy over the same bytes.
// Each benchmark reports bytes per second over one buffer larger than the
// caches (MARLINOX_BENCH_BYTES, default 64 MiB): random ACGT text, or, when
// MARLINOX_BENCH_GENOME names a gzipped FASTA file, its sequence lines joined
// and repeated, since real genomes have far longer open frames.
//
//   marlinox_kernel_bench [benchmark flags]
//   marlinox_kernel_bench --interleaved=ROUNDS
//
// The second form times memcpy and the scan at every level in turn, round after
// round, and prints medians, quartiles and the ratio to memcpy within a round:
// on a busy machine only an interleaved comparison is fair.
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
#include "analysis/kernels.hpp"
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

void reads_of_150(benchmark::State& state) {
    // Per-call overhead: the scan of one short read, as a batch of reads sees it.
    const std::string_view all = text();
    std::size_t offset = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(marlinox::analysis::calculate_stop_free_run_single(all.substr(offset, 150)));
        offset = offset + 150 < (1u << 20) ? offset + 150 : 0;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 150);
}

void register_all() {
    benchmark::RegisterBenchmark("memcpy", memcpy_same_bytes)->UseRealTime();
    for (const ScanLevel level : marlinox::analysis::available_scan_levels()) {
        const std::string name(marlinox::analysis::scan_level_name(level));
        benchmark::RegisterBenchmark("stop_free_run/" + name, stop_free_run, level)->UseRealTime();
    }
    benchmark::RegisterBenchmark("stop_free_run/separate_check", separate_ascii_check_then_scan)->UseRealTime();
    for (const ScanLevel level : marlinox::analysis::available_scan_levels()) {
        const std::string name(marlinox::analysis::scan_level_name(level));
        benchmark::RegisterBenchmark("gc_content/" + name, gc_content, level)->UseRealTime();
    }
    benchmark::RegisterBenchmark("stop_free_run/read_150", reads_of_150);
}

}  // namespace

double median(std::vector<double> values, double at = 0.5) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(at * static_cast<double>(values.size() - 1) + 0.5)];
}

int interleaved(long rounds) {
    using clock = std::chrono::steady_clock;
    const std::string& source = text();
    std::vector<char> target(source.size());
    std::memset(target.data(), 1, target.size());
    const auto levels = marlinox::analysis::available_scan_levels();
    std::vector<double> copy_seconds;
    std::vector<std::vector<double>> scan_seconds(levels.size()), ratios(levels.size());
    std::vector<std::size_t> runs(levels.size());
    for (long round = 0; round < rounds; ++round) {
        const auto t0 = clock::now();
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
        copy_seconds.push_back(std::chrono::duration<double>(clock::now() - t0).count());
        for (std::size_t k = 0; k < levels.size(); ++k) {
            const auto t1 = clock::now();
            runs[k] = marlinox::analysis::stop_free_run_if_ascii(source, levels[k]).value_or(0);
            scan_seconds[k].push_back(std::chrono::duration<double>(clock::now() - t1).count());
            ratios[k].push_back(scan_seconds[k].back() / copy_seconds.back());
        }
    }
    const double gb = static_cast<double>(source.size()) / 1e9;
    std::printf("%zu bytes, %ld rounds; GB/s median (quartiles); time / memcpy time of the same round\n",
                source.size(), rounds);
    std::printf("%-12s %6.2f (%.2f..%.2f)\n", "memcpy", gb / median(copy_seconds), gb / median(copy_seconds, 0.75),
                gb / median(copy_seconds, 0.25));
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const std::string name(marlinox::analysis::scan_level_name(levels[k]));
        std::printf("%-12s %6.2f (%.2f..%.2f)  ratio %.2f (quartiles %.2f..%.2f, range %.2f..%.2f)  run %zu\n",
                    name.c_str(), gb / median(scan_seconds[k]), gb / median(scan_seconds[k], 0.75),
                    gb / median(scan_seconds[k], 0.25), median(ratios[k]), median(ratios[k], 0.25),
                    median(ratios[k], 0.75), median(ratios[k], 0.0), median(ratios[k], 1.0), runs[k]);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]).starts_with("--interleaved="))
        return interleaved(std::strtol(argv[1] + 14, nullptr, 10));
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
