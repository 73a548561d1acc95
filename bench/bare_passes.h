// The yardsticks of the kernels: the least any pass over the buffer costs
// right after the file was read into it. A kernel that builds the table has
// to read every byte once; one that decodes a marked file has to read and
// write every byte once. These do exactly that and nothing else, 64 bytes a
// step with SSE2 (every x86-64 processor, and the Windows build's baseline),
// so the data's trip through the memory hierarchy is all they measure.
#ifndef VELLOMAR_BENCH_BARE_PASSES_H
#define VELLOMAR_BENCH_BARE_PASSES_H

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bench {

// Reads every byte; returns something of them all, so that the reads stay.
inline uint32_t readPass(const uint8_t *data, uint32_t length) {
    uint32_t at = 0;
    uint32_t seen = 0;
#if defined(__SSE2__)
    __m128i a = _mm_setzero_si128(), b = a, c = a, d = a;
    for (; at + 64 <= length; at += 64) {
        const __m128i *p = reinterpret_cast<const __m128i *>(data + at);
        a = _mm_or_si128(a, _mm_loadu_si128(p));
        b = _mm_or_si128(b, _mm_loadu_si128(p + 1));
        c = _mm_or_si128(c, _mm_loadu_si128(p + 2));
        d = _mm_or_si128(d, _mm_loadu_si128(p + 3));
    }
    seen = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))));
#endif
    for (; at < length; ++at)
        seen |= data[at];
    return seen;
}

// Complements every byte in place, as a marked file's decoding does at the
// least.
inline void complementPass(uint8_t *data, uint32_t length) {
    uint32_t at = 0;
#if defined(__SSE2__)
    const __m128i ones = _mm_set1_epi8(-1);
    for (; at + 64 <= length; at += 64) {
        __m128i *p = reinterpret_cast<__m128i *>(data + at);
        const __m128i a = _mm_loadu_si128(p), b = _mm_loadu_si128(p + 1);
        const __m128i c = _mm_loadu_si128(p + 2), d = _mm_loadu_si128(p + 3);
        _mm_storeu_si128(p, _mm_xor_si128(a, ones));
        _mm_storeu_si128(p + 1, _mm_xor_si128(b, ones));
        _mm_storeu_si128(p + 2, _mm_xor_si128(c, ones));
        _mm_storeu_si128(p + 3, _mm_xor_si128(d, ones));
    }
#endif
    for (; at < length; ++at)
        data[at] = static_cast<uint8_t>(~data[at]);
}

} // namespace bench

#endif
