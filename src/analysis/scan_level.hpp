// Instruction sets the byte-scanning kernels can run with, chosen once per
// process from what the processor supports. Every level produces the same
// results; only the speed differs.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace marlinox::analysis {

enum class ScanLevel {
    portable,  // plain 64-bit integer code, any processor
    sse2,      // x86_64 baseline
    avx2,      // x86_64, chosen at run time
    avx512,    // x86_64 with AVX-512 F and BW, chosen at run time
    avx512vbmi,  // avx512 plus CD and VBMI (byte permutes), chosen at run time
    neon,      // ARM Advanced SIMD: baseline on AArch64, optional on 32-bit ARM
};

// Number of levels; `neon` stays the last one.
inline constexpr std::size_t kScanLevelCount = static_cast<std::size_t>(ScanLevel::neon) + 1;

// The levels this processor can run, from the plainest to the best.
std::span<const ScanLevel> available_scan_levels() noexcept;

// The level the kernels use: the best available one, or `portable` when the
// build defines MARLINOX_PORTABLE_SCAN.
ScanLevel selected_scan_level() noexcept;

std::string_view scan_level_name(ScanLevel level) noexcept;

}  // namespace marlinox::analysis
