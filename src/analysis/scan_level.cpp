// The instruction sets this processor offers, and the one table of kernels
// per level: the only place that picks a kernel for a level.
#include "analysis/scan_level.hpp"

#include <array>
#include <cstddef>

#include "analysis/level_kernels.hpp"

#if defined(__arm__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace marlinox::analysis {
namespace {

struct Levels {
    std::array<ScanLevel, kScanLevelCount> list{};
    std::size_t count = 0;
    void add(ScanLevel level) noexcept { list[count++] = level; }
};

Levels detect() noexcept {
    Levels levels;
    levels.add(ScanLevel::portable);
#if defined(__x86_64__)
    levels.add(ScanLevel::sse2);
    // The checks include the operating system's support for the wider
    // registers (XGETBV), not just the processor's.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) levels.add(ScanLevel::avx2);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
        levels.add(ScanLevel::avx512);
        if (__builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512vbmi"))
            levels.add(ScanLevel::avx512vbmi);
    }
#elif defined(__aarch64__)
    levels.add(ScanLevel::neon);
#elif defined(__arm__) && defined(__linux__)
    constexpr unsigned long kHwcapNeon = 1ul << 12;  // HWCAP_NEON of the ARM Linux ABI
    if ((getauxval(AT_HWCAP) & kHwcapNeon) != 0) levels.add(ScanLevel::neon);
#endif
    return levels;
}

const Levels& levels() noexcept {
    static const Levels detected = detect();
    return detected;
}

constexpr LevelKernels kPortable{count_gc_portable, stop_scan_portable, stop_scan_with_gc_portable,
                                 located_scan_portable, letter_masks_portable, stop_blocks_portable,
                                 set_scan_with_gc_portable, located_set_scan_portable};
#if defined(__x86_64__)
constexpr LevelKernels kSse2{count_gc_sse2, stop_scan_sse2, stop_scan_with_gc_sse2, located_scan_sse2,
                             letter_masks_sse2, stop_blocks_portable, set_scan_with_gc_sse2, located_set_scan_sse2};
constexpr LevelKernels kAvx2{count_gc_avx2, stop_scan_avx2, stop_scan_with_gc_avx2, located_scan_avx2,
                             letter_masks_avx2, stop_blocks_avx2, set_scan_with_gc_avx2, located_set_scan_avx2};
constexpr LevelKernels kAvx512{count_gc_avx512, stop_scan_avx512, stop_scan_with_gc_avx512, located_scan_avx512,
                               letter_masks_avx512, stop_blocks_avx512, set_scan_with_gc_avx512,
                               located_set_scan_avx512};
// Byte permutes find the standard stops alone; the scans that count letters
// need the letter compares anyway, so they are the avx512 level's. For any
// other set, the permutes both count and look the codons up.
constexpr LevelKernels kAvx512Vbmi{count_gc_avx512, stop_scan_avx512vbmi, stop_scan_with_gc_avx512,
                                   located_scan_avx512, letter_masks_avx512, stop_blocks_avx512,
                                   set_scan_with_gc_avx512vbmi, located_set_scan_avx512vbmi};
#endif
#if defined(MARLINOX_HAVE_NEON)
constexpr LevelKernels kNeon{count_gc_neon, stop_scan_neon, stop_scan_with_gc_neon, located_scan_neon,
                             letter_masks_neon, stop_blocks_portable, set_scan_with_gc_neon, located_set_scan_neon};
#endif

}  // namespace

std::span<const ScanLevel> available_scan_levels() noexcept {
    return {levels().list.data(), levels().count};
}

ScanLevel selected_scan_level() noexcept {
#if defined(MARLINOX_PORTABLE_SCAN)
    return ScanLevel::portable;
#else
    return levels().list[levels().count - 1];
#endif
}

const LevelKernels& kernels_for(ScanLevel level) noexcept {
    switch (level) {
#if defined(__x86_64__)
        case ScanLevel::sse2: return kSse2;
        case ScanLevel::avx2: return kAvx2;
        case ScanLevel::avx512: return kAvx512;
        case ScanLevel::avx512vbmi: return kAvx512Vbmi;
#endif
#if defined(MARLINOX_HAVE_NEON)
        case ScanLevel::neon: return kNeon;
#endif
        default: return kPortable;
    }
}

const LevelKernels& selected_kernels() noexcept {
    static const LevelKernels& selected = kernels_for(selected_scan_level());
    return selected;
}

std::string_view scan_level_name(ScanLevel level) noexcept {
    switch (level) {
        case ScanLevel::portable: return "portable";
        case ScanLevel::sse2: return "sse2";
        case ScanLevel::avx2: return "avx2";
        case ScanLevel::avx512: return "avx512";
        case ScanLevel::avx512vbmi: return "avx512vbmi";
        case ScanLevel::neon: return "neon";
    }
    return "unknown";
}

}  // namespace marlinox::analysis
