// Which bytes of a 64-byte block are A, C, G and T, one bit per byte, at every
// level. The ORF scan builds stops and start codons of any list from these
// masks with integer bit operations, so only this step differs per level.
#include <array>
#include <cstddef>
#include <cstdint>

#include "analysis/bases.hpp"
#include "analysis/level_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(MARLINOX_HAVE_NEON)
#include <arm_neon.h>
#endif

namespace marlinox::analysis {

void letter_masks_portable(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept {
    for (std::size_t b = 0; b < blocks; ++b, bytes += 64) {
        std::uint64_t a = 0, c = 0, g = 0, t = 0;
        for (unsigned i = 0; i < 64; ++i) {
            const std::uint64_t bit = kBaseBit[bytes[i]];
            a |= (bit & 1u) << i;
            c |= ((bit >> 1) & 1u) << i;
            g |= ((bit >> 2) & 1u) << i;
            t |= (bit >> 3) << i;
        }
        out[b] = {a, c, g, t};
    }
}

#if defined(__x86_64__)

void letter_masks_sse2(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept {
    const __m128i fold = _mm_set1_epi8(static_cast<char>(kFold));
    const __m128i a = _mm_set1_epi8('a'), c = _mm_set1_epi8('c'), g = _mm_set1_epi8('g'), t = _mm_set1_epi8('t');
    for (std::size_t b = 0; b < blocks; ++b, bytes += 64) {
        LetterMasks masks{};
        for (unsigned part = 0; part < 4; ++part) {
            const __m128i v =
                _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * part)), fold);
            const auto bits = [&](__m128i letter) {
                return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, letter))))
                       << (16 * part);
            };
            masks.a |= bits(a);
            masks.c |= bits(c);
            masks.g |= bits(g);
            masks.t |= bits(t);
        }
        out[b] = masks;
    }
}

namespace {

// The 64-bit mask of one letter in the two halves of a folded block.
MX_AVX2_TARGET inline std::uint64_t avx2_bits(__m256i low, __m256i high, __m256i letter) noexcept {
    const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, letter)));
    const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, letter)));
    return static_cast<std::uint64_t>(lo) | (static_cast<std::uint64_t>(hi) << 32);
}

}  // namespace

MX_AVX2_TARGET void letter_masks_avx2(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept {
    const __m256i fold = _mm256_set1_epi8(static_cast<char>(kFold));
    const __m256i a = _mm256_set1_epi8('a'), c = _mm256_set1_epi8('c'), g = _mm256_set1_epi8('g'),
                  t = _mm256_set1_epi8('t');
    for (std::size_t b = 0; b < blocks; ++b, bytes += 64) {
        const __m256i low = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)), fold);
        const __m256i high = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32)), fold);
        out[b] = {avx2_bits(low, high, a), avx2_bits(low, high, c), avx2_bits(low, high, g), avx2_bits(low, high, t)};
    }
}

MX_AVX512_TARGET void letter_masks_avx512(const unsigned char* bytes, std::size_t blocks,
                                          LetterMasks* out) noexcept {
    const __m512i fold = _mm512_set1_epi8(static_cast<char>(kFold));
    const __m512i a = _mm512_set1_epi8('a'), c = _mm512_set1_epi8('c'), g = _mm512_set1_epi8('g'),
                  t = _mm512_set1_epi8('t');
    for (std::size_t b = 0; b < blocks; ++b, bytes += 64) {
        const __m512i v = _mm512_or_si512(_mm512_loadu_si512(bytes), fold);
        out[b] = {_mm512_cmpeq_epi8_mask(v, a), _mm512_cmpeq_epi8_mask(v, c), _mm512_cmpeq_epi8_mask(v, g),
                  _mm512_cmpeq_epi8_mask(v, t)};
    }
}

#endif

#if defined(MARLINOX_HAVE_NEON)

namespace {

// Bit i of the result for the lanes of a comparison (all ones or all zeros):
// each lane keeps its own weight, then pairwise sums gather eight neighbours
// into one byte, twice more for the four vectors of a block.
MX_NEON_TARGET inline uint8x8_t weighed_pairs(uint8x16_t v) noexcept {
    const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t w = vandq_u8(v, weights);
    return vpadd_u8(vget_low_u8(w), vget_high_u8(w));
}

// The 64-bit mask of one letter in the four folded quarters of a block.
MX_NEON_TARGET inline std::uint64_t neon_bits(const uint8x16_t* v, uint8x16_t letter) noexcept {
    const uint8x8_t low = vpadd_u8(weighed_pairs(vceqq_u8(v[0], letter)), weighed_pairs(vceqq_u8(v[1], letter)));
    const uint8x8_t high = vpadd_u8(weighed_pairs(vceqq_u8(v[2], letter)), weighed_pairs(vceqq_u8(v[3], letter)));
    return vget_lane_u64(vreinterpret_u64_u8(vpadd_u8(low, high)), 0);
}

}  // namespace

MX_NEON_TARGET void letter_masks_neon(const unsigned char* bytes, std::size_t blocks, LetterMasks* out) noexcept {
    const uint8x16_t fold = vdupq_n_u8(kFold);
    const uint8x16_t a = vdupq_n_u8('a'), c = vdupq_n_u8('c'), g = vdupq_n_u8('g'), t = vdupq_n_u8('t');
    for (std::size_t b = 0; b < blocks; ++b, bytes += 64) {
        uint8x16_t v[4];
        for (unsigned part = 0; part < 4; ++part) v[part] = vorrq_u8(vld1q_u8(bytes + 16 * part), fold);
        out[b] = {neon_bits(v, a), neon_bits(v, c), neon_bits(v, g), neon_bits(v, t)};
    }
}

#endif

}  // namespace marlinox::analysis
