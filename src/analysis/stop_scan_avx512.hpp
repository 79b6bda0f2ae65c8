// What the avx512 and avx512vbmi levels of the stop scan share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/level_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace marlinox::analysis::stop_scan {

// The bytes at `p` that lie before `end`, NUL for the others: the masked load
// reads nothing beyond them, so the last blocks of a text need no padded copy.
MX_AVX512_TARGET inline __m512i load_before(const unsigned char* p, const unsigned char* end) noexcept {
    const std::ptrdiff_t valid = end - p;
    const std::uint64_t lanes = valid >= 64 ? ~std::uint64_t{0} : valid <= 0 ? 0 : (std::uint64_t{1} << valid) - 1;
    return _mm512_maskz_loadu_epi8(lanes, p);
}

}  // namespace marlinox::analysis::stop_scan

#endif
