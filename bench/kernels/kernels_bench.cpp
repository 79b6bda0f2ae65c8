// Kernel throughput per instruction set, against memcpy over the same bytes.
// Each benchmark reports bytes per second over one buffer of random ACGT text
// (MARLINOX_BENCH_BYTES, default 64 MiB, larger than the caches).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "analysis/gc_content_levels.hpp"
#include "analysis/kernels.hpp"
#include "analysis/scan_level.hpp"
#include "analysis/stop_free_run.hpp"

namespace {

using marlinox::analysis::ScanLevel;

const std::string& text() {
    static const std::string random_acgt = [] {
        std::size_t bytes = std::size_t{64} << 20;
        if (const char* env = std::getenv("MARLINOX_BENCH_BYTES")) bytes = std::strtoull(env, nullptr, 10);
        std::mt19937_64 rng(6);
        std::string out(bytes, 'A');
        for (std::size_t i = 0; i < bytes; i += 32) {
            std::uint64_t bits = rng();
            for (std::size_t k = i; k < std::min(bytes, i + 32); ++k, bits >>= 2) out[k] = "ACGT"[bits & 3];
        }
        return out;
    }();
    return random_acgt;
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

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
