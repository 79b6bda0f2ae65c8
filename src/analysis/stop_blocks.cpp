// Which blocks of a chunk hold a stop of each frame: the ORF scan looks for a
// frame's stops only after enough blocks without one, so per block it needs
// only whether each strand has a stop at a bit of each class of position
// modulo 3. Three tests per strand and block, which vectors take for several
// blocks at a time.
#include <array>
#include <cstddef>
#include <cstdint>

#include "analysis/codon_windows.hpp"
#include "analysis/level_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace marlinox::analysis {
namespace {

// Block k's bits, one block at a time.
inline void note_block(std::uint64_t forward, std::uint64_t reverse, std::size_t k,
                       std::array<std::uint64_t, 6>& blocks) noexcept {
#pragma GCC unroll 3
    for (unsigned bit_class = 0; bit_class < 3; ++bit_class) {
        blocks[bit_class] |= std::uint64_t{(forward & kClassBits[bit_class]) != 0} << k;
        blocks[3 + bit_class] |= std::uint64_t{(reverse & kClassBits[bit_class]) != 0} << k;
    }
}

}  // namespace

void stop_blocks_portable(const std::uint64_t* forward, const std::uint64_t* reverse, std::size_t count,
                          std::uint64_t* out) noexcept {
    std::array<std::uint64_t, 6> blocks{};
    for (std::size_t k = 0; k < count; ++k) note_block(forward[k], reverse[k], k, blocks);
    for (unsigned k = 0; k < 6; ++k) out[k] = blocks[k];
}

#if defined(__x86_64__)

namespace {

// Bit i: lane i of `stops` has a bit of `bits` set.
MX_AVX2_TARGET inline std::uint64_t avx2_any(__m256i stops, __m256i bits) noexcept {
    const __m256i none = _mm256_cmpeq_epi64(_mm256_and_si256(stops, bits), _mm256_setzero_si256());
    return static_cast<std::uint64_t>(~_mm256_movemask_pd(_mm256_castsi256_pd(none)) & 0xf);
}

}  // namespace

// Four blocks per compare; the blocks after the last group of four one by one.
MX_AVX2_TARGET void stop_blocks_avx2(const std::uint64_t* forward, const std::uint64_t* reverse, std::size_t count,
                                     std::uint64_t* out) noexcept {
    std::array<std::uint64_t, 6> blocks{};
    __m256i classes[3];
    for (unsigned bit_class = 0; bit_class < 3; ++bit_class)
        classes[bit_class] = _mm256_set1_epi64x(static_cast<long long>(kClassBits[bit_class]));
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(forward + k));
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reverse + k));
        for (unsigned bit_class = 0; bit_class < 3; ++bit_class) {
            blocks[bit_class] |= avx2_any(f, classes[bit_class]) << k;
            blocks[3 + bit_class] |= avx2_any(r, classes[bit_class]) << k;
        }
    }
    for (; k < count; ++k) note_block(forward[k], reverse[k], k, blocks);
    for (unsigned i = 0; i < 6; ++i) out[i] = blocks[i];
}

// Eight blocks per test, the last group's missing blocks masked off the load.
MX_AVX512_TARGET void stop_blocks_avx512(const std::uint64_t* forward, const std::uint64_t* reverse,
                                         std::size_t count, std::uint64_t* out) noexcept {
    std::array<std::uint64_t, 6> blocks{};
    __m512i classes[3];
    for (unsigned bit_class = 0; bit_class < 3; ++bit_class)
        classes[bit_class] = _mm512_set1_epi64(static_cast<long long>(kClassBits[bit_class]));
    for (std::size_t k = 0; k < count; k += 8) {
        const auto lanes = static_cast<__mmask8>(count - k >= 8 ? 0xffu : (1u << (count - k)) - 1);
        const __m512i f = _mm512_maskz_loadu_epi64(lanes, forward + k);
        const __m512i r = _mm512_maskz_loadu_epi64(lanes, reverse + k);
        for (unsigned bit_class = 0; bit_class < 3; ++bit_class) {
            blocks[bit_class] |= std::uint64_t{_mm512_test_epi64_mask(f, classes[bit_class])} << k;
            blocks[3 + bit_class] |= std::uint64_t{_mm512_test_epi64_mask(r, classes[bit_class])} << k;
        }
    }
    for (unsigned i = 0; i < 6; ++i) out[i] = blocks[i];
}

#endif

}  // namespace marlinox::analysis
