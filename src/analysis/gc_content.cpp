// GC content: count the bytes G, C, g and c, divide by the length in bytes.
// G and C are ASCII, so counting bytes counts characters. Each instruction set
// of ScanLevel has its own counting loop (level_kernels.hpp); all give the
// same count.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "analysis/gc_content_levels.hpp"
#include "analysis/kernels.hpp"
#include "analysis/level_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(MARLINOX_HAVE_NEON)
#include <arm_neon.h>
#endif

namespace marlinox::analysis {
namespace {

// Vector loops count in 8-bit lanes, emptied before any lane can wrap.
constexpr std::size_t kMaxLaneCount = 255;

std::size_t count_tail(const unsigned char* bytes, std::size_t n) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char folded = bytes[i] | kFold;
        count += folded == 'g' || folded == 'c';
    }
    return count;
}

const unsigned char* bytes_of(std::string_view text) noexcept {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

std::size_t count_gc_portable(const unsigned char* bytes, std::size_t n) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101u, low7 = 0x7F7F7F7F7F7F7F7Fu;
    const auto zero_bytes = [](std::uint64_t word) {  // high bit of each zero byte, exact
        return ~(((word & low7) + low7) | word | low7);
    };
    std::size_t count = 0, i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        word |= ones * kFold;
        count += static_cast<std::size_t>(
            std::popcount(zero_bytes(word ^ (ones * 'g')) | zero_bytes(word ^ (ones * 'c'))));
    }
    return count + count_tail(bytes + i, n - i);
}

#if defined(__x86_64__)

std::size_t count_gc_sse2(const unsigned char* bytes, std::size_t n) noexcept {
    const __m128i fold = _mm_set1_epi8(kFold), g = _mm_set1_epi8('g'), c = _mm_set1_epi8('c');
    std::size_t count = 0, i = 0;
    while (i + 16 <= n) {
        const std::size_t steps = std::min(kMaxLaneCount, (n - i) / 16);
        __m128i lanes = _mm_setzero_si128();
        for (std::size_t k = 0; k < steps; ++k, i += 16) {
            const __m128i v = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)), fold);
            // A match is -1: subtracting it adds one.
            lanes = _mm_sub_epi8(lanes, _mm_or_si128(_mm_cmpeq_epi8(v, g), _mm_cmpeq_epi8(v, c)));
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    return count + count_tail(bytes + i, n - i);
}

MX_AVX2_TARGET std::size_t count_gc_avx2(const unsigned char* bytes, std::size_t n) noexcept {
    const __m256i fold = _mm256_set1_epi8(kFold), g = _mm256_set1_epi8('g'), c = _mm256_set1_epi8('c');
    std::size_t count = 0, i = 0;
    while (i + 32 <= n) {
        const std::size_t steps = std::min(kMaxLaneCount, (n - i) / 32);
        __m256i lanes = _mm256_setzero_si256();
        for (std::size_t k = 0; k < steps; ++k, i += 32) {
            const __m256i v =
                _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i)), fold);
            lanes = _mm256_sub_epi8(lanes, _mm256_or_si256(_mm256_cmpeq_epi8(v, g), _mm256_cmpeq_epi8(v, c)));
        }
        const __m256i sums = _mm256_sad_epu8(lanes, _mm256_setzero_si256());
        alignas(32) std::uint64_t parts[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(parts), sums);
        count += static_cast<std::size_t>(parts[0] + parts[1] + parts[2] + parts[3]);
    }
    return count + count_tail(bytes + i, n - i);
}

MX_AVX512_TARGET std::size_t count_gc_avx512(const unsigned char* bytes, std::size_t n) noexcept {
    const __m512i fold = _mm512_set1_epi8(kFold), g = _mm512_set1_epi8('g'), c = _mm512_set1_epi8('c');
    const __m512i one = _mm512_set1_epi8(1);
    std::size_t count = 0, i = 0;
    while (i + 64 <= n) {
        const std::size_t steps = std::min(kMaxLaneCount, (n - i) / 64);
        __m512i lanes = _mm512_setzero_si512();
        for (std::size_t k = 0; k < steps; ++k, i += 64) {
            const __m512i v = _mm512_or_si512(_mm512_loadu_si512(bytes + i), fold);
            const __mmask64 match = _mm512_cmpeq_epi8_mask(v, g) | _mm512_cmpeq_epi8_mask(v, c);
            lanes = _mm512_mask_add_epi8(lanes, match, lanes, one);
        }
        count += static_cast<std::size_t>(_mm512_reduce_add_epi64(_mm512_sad_epu8(lanes, _mm512_setzero_si512())));
    }
    return count + count_tail(bytes + i, n - i);
}

#endif

#if defined(MARLINOX_HAVE_NEON)

MX_NEON_TARGET std::size_t count_gc_neon(const unsigned char* bytes, std::size_t n) noexcept {
    const uint8x16_t fold = vdupq_n_u8(kFold), g = vdupq_n_u8('g'), c = vdupq_n_u8('c');
    std::size_t count = 0, i = 0;
    while (i + 16 <= n) {
        const std::size_t steps = std::min(kMaxLaneCount, (n - i) / 16);
        uint8x16_t lanes = vdupq_n_u8(0);
        for (std::size_t k = 0; k < steps; ++k, i += 16) {
            const uint8x16_t v = vorrq_u8(vld1q_u8(bytes + i), fold);
            lanes = vsubq_u8(lanes, vorrq_u8(vceqq_u8(v, g), vceqq_u8(v, c)));
        }
        const uint64x2_t sums = vpaddlq_u32(vpaddlq_u16(vpaddlq_u8(lanes)));
        count += static_cast<std::size_t>(vgetq_lane_u64(sums, 0) + vgetq_lane_u64(sums, 1));
    }
    return count + count_tail(bytes + i, n - i);
}

#endif

std::size_t count_gc_with(std::string_view text, ScanLevel level) noexcept {
    return kernels_for(level).count_gc(bytes_of(text), text.size());
}

double gc_content_with(std::string_view text, ScanLevel level) noexcept {
    return gc_fraction(count_gc_with(text, level), text.size());
}

// Counting in size_t keeps texts beyond 4 GiB exact on 64-bit hosts.
double calculate_gc_content_single(std::string_view sequence) {
    return gc_fraction(selected_kernels().count_gc(bytes_of(sequence), sequence.size()), sequence.size());
}

}  // namespace marlinox::analysis
