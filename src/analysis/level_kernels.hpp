// The kernels that exist once per instruction set, and the table of them: one
// row per ScanLevel, filled and chosen in scan_level.cpp. The level files
// (stop_scan_<level>.cpp, gc_content.cpp) define the entries; everything else
// reaches them through the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/codon_set.hpp"
#include "analysis/scan_level.hpp"

#if defined(__ARM_NEON) || (defined(__arm__) && defined(__ARM_FP) && !defined(__clang__))
#define MARLINOX_HAVE_NEON 1
#endif

// Entries for a level beyond the build's baseline are compiled for that level
// alone; declarations and definitions carry the same target.
#define MX_AVX2_TARGET __attribute__((target("avx2")))
#define MX_AVX512_TARGET __attribute__((target("avx512f,avx512bw")))
#define MX_AVX512VBMI_TARGET __attribute__((target("avx512f,avx512bw,avx512cd,avx512vbmi")))
#if defined(__arm__) && !defined(__ARM_NEON)
#define MX_NEON_TARGET __attribute__((target("fpu=neon")))
#else
#define MX_NEON_TARGET
#endif

namespace marlinox::analysis {

// 'T' | 0x20 == 't', and no other byte folds onto it; the same for a, c, g.
inline constexpr unsigned char kFold = 0x20;

// The stop-free run of an ASCII text, and whether every byte was below 0x80
// (the run is only meaningful then); `gc`, the bytes that are G or C in either
// case, only from the scan that counts them.
struct AsciiScan {
    std::size_t run = 0;
    bool ascii = true;
    std::size_t gc = 0;
};

// The located scan: the same run, where its first occurrence in scan order
// lies (stop_free_run.hpp, LocatedRun), and how many bytes are A, C, G or T,
// and G or C, in either case.
struct LocatedScan {
    std::size_t run = 0;
    bool ascii = true;
    bool reverse = false;
    unsigned frame = 0;
    std::size_t start = 0, end = 0;
    std::size_t acgt = 0;
    std::size_t gc = 0;
};

// Bit i of each mask: byte i of a 64-byte block is that letter, in either
// case. Left uninitialized by default: the ORF scan keeps a chunk of them on
// the stack for every record, and a kernel writes each one whole.
struct LetterMasks {
    std::uint64_t a, c, g, t;
};

using CountGcKernel = std::size_t (*)(const unsigned char* bytes, std::size_t n) noexcept;
using StopScanKernel = AsciiScan (*)(std::string_view sequence) noexcept;
using LocatedScanKernel = LocatedScan (*)(std::string_view sequence) noexcept;
// The same scans with the stops of `stops` rather than TAA, TAG and TGA.
using SetScanKernel = AsciiScan (*)(std::string_view sequence, CodonSet stops) noexcept;
using LocatedSetScanKernel = LocatedScan (*)(std::string_view sequence, CodonSet stops) noexcept;
// The masks of `blocks` whole blocks of 64 bytes from `bytes`, into `out`.
using LetterMasksKernel = void (*)(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept;
// From the stop masks of `count` blocks (at most 64) of each strand: for
// strand s (0 forward) and class j of a bit's position modulo 3, bit k of
// out[3 s + j] set when block k holds a stop at a bit of class j.
using StopBlocksKernel = void (*)(const std::uint64_t* forward, const std::uint64_t* reverse, std::size_t count,
                                  std::uint64_t* out) noexcept;

struct LevelKernels {
    CountGcKernel count_gc;
    StopScanKernel stop_scan;
    // The same scan counting G and C from the loads that find the stops.
    StopScanKernel stop_scan_with_gc;
    LocatedScanKernel located_scan;
    LetterMasksKernel letter_masks;
    StopBlocksKernel stop_blocks;
    SetScanKernel set_scan_with_gc;
    LocatedSetScanKernel located_set_scan;
};

// The row of `level`; the portable one for a level this build lacks.
const LevelKernels& kernels_for(ScanLevel level) noexcept;

// The row of selected_scan_level(), chosen on first use.
const LevelKernels& selected_kernels() noexcept;

std::size_t count_gc_portable(const unsigned char* bytes, std::size_t n) noexcept;
AsciiScan stop_scan_portable(std::string_view sequence) noexcept;
AsciiScan stop_scan_with_gc_portable(std::string_view sequence) noexcept;
LocatedScan located_scan_portable(std::string_view sequence) noexcept;
void letter_masks_portable(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept;
void stop_blocks_portable(const std::uint64_t* forward, const std::uint64_t* reverse, std::size_t count,
                          std::uint64_t* out) noexcept;
AsciiScan set_scan_with_gc_portable(std::string_view sequence, CodonSet stops) noexcept;
LocatedScan located_set_scan_portable(std::string_view sequence, CodonSet stops) noexcept;
#if defined(__x86_64__)
std::size_t count_gc_sse2(const unsigned char* bytes, std::size_t n) noexcept;
AsciiScan stop_scan_sse2(std::string_view sequence) noexcept;
AsciiScan stop_scan_with_gc_sse2(std::string_view sequence) noexcept;
LocatedScan located_scan_sse2(std::string_view sequence) noexcept;
void letter_masks_sse2(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept;
AsciiScan set_scan_with_gc_sse2(std::string_view sequence, CodonSet stops) noexcept;
LocatedScan located_set_scan_sse2(std::string_view sequence, CodonSet stops) noexcept;
MX_AVX2_TARGET std::size_t count_gc_avx2(const unsigned char* bytes, std::size_t n) noexcept;
MX_AVX2_TARGET AsciiScan stop_scan_avx2(std::string_view sequence) noexcept;
MX_AVX2_TARGET AsciiScan stop_scan_with_gc_avx2(std::string_view sequence) noexcept;
MX_AVX2_TARGET LocatedScan located_scan_avx2(std::string_view sequence) noexcept;
MX_AVX2_TARGET void letter_masks_avx2(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept;
MX_AVX2_TARGET void stop_blocks_avx2(const std::uint64_t* forward, const std::uint64_t* reverse, std::size_t count,
                                     std::uint64_t* out) noexcept;
MX_AVX2_TARGET AsciiScan set_scan_with_gc_avx2(std::string_view sequence, CodonSet stops) noexcept;
MX_AVX2_TARGET LocatedScan located_set_scan_avx2(std::string_view sequence, CodonSet stops) noexcept;
MX_AVX512_TARGET std::size_t count_gc_avx512(const unsigned char* bytes, std::size_t n) noexcept;
MX_AVX512_TARGET AsciiScan stop_scan_avx512(std::string_view sequence) noexcept;
MX_AVX512_TARGET AsciiScan stop_scan_with_gc_avx512(std::string_view sequence) noexcept;
MX_AVX512_TARGET LocatedScan located_scan_avx512(std::string_view sequence) noexcept;
MX_AVX512_TARGET void letter_masks_avx512(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept;
MX_AVX512_TARGET void stop_blocks_avx512(const std::uint64_t* forward, const std::uint64_t* reverse,
                                         std::size_t count, std::uint64_t* out) noexcept;
MX_AVX512_TARGET AsciiScan set_scan_with_gc_avx512(std::string_view sequence, CodonSet stops) noexcept;
MX_AVX512_TARGET LocatedScan located_set_scan_avx512(std::string_view sequence, CodonSet stops) noexcept;
MX_AVX512VBMI_TARGET AsciiScan stop_scan_avx512vbmi(std::string_view sequence) noexcept;
MX_AVX512VBMI_TARGET AsciiScan set_scan_with_gc_avx512vbmi(std::string_view sequence, CodonSet stops) noexcept;
MX_AVX512VBMI_TARGET LocatedScan located_set_scan_avx512vbmi(std::string_view sequence, CodonSet stops) noexcept;
#endif
#if defined(MARLINOX_HAVE_NEON)
MX_NEON_TARGET std::size_t count_gc_neon(const unsigned char* bytes, std::size_t n) noexcept;
MX_NEON_TARGET AsciiScan stop_scan_neon(std::string_view sequence) noexcept;
MX_NEON_TARGET AsciiScan stop_scan_with_gc_neon(std::string_view sequence) noexcept;
MX_NEON_TARGET LocatedScan located_scan_neon(std::string_view sequence) noexcept;
MX_NEON_TARGET void letter_masks_neon(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept;
MX_NEON_TARGET AsciiScan set_scan_with_gc_neon(std::string_view sequence, CodonSet stops) noexcept;
MX_NEON_TARGET LocatedScan located_set_scan_neon(std::string_view sequence, CodonSet stops) noexcept;
#endif

}  // namespace marlinox::analysis
