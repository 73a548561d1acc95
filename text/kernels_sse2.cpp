// The SSE2 kernels: blocks of 32 bytes as two 16-byte vectors.
#include "text/kernels.h"

#if VELLOMAR_KERNELS_SSE2

#if defined(__i386__) && !defined(__SSE2__)
// The 32-bit build takes SSE2 as its baseline; say so here too, so that this
// file does not depend on the flags it is compiled with.
#pragma GCC target("sse2")
#endif

#include <emmintrin.h>

#include "text/simd_kernels.h"

#if defined(__i386__)
// A 32-bit Windows caller may hand over a stack aligned to 4 bytes only;
// realign it where vectors may be spilled.
#define VELLOMAR_VECTOR_ENTRY __attribute__((force_align_arg_pointer))
#else
#define VELLOMAR_VECTOR_ENTRY
#endif

namespace vellomar {

namespace {

struct Sse2 {
    using Mask = uint32_t;
    static constexpr uint32_t kWidth = 32;

    static __m128i load(const uint8_t *p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    }
    static __m128i is(const uint8_t *p, uint8_t value) {
        return _mm_cmpeq_epi8(load(p), _mm_set1_epi8(static_cast<char>(value)));
    }
    static Mask bits(__m128i low, __m128i high) {
        return static_cast<Mask>(_mm_movemask_epi8(low)) |
               static_cast<Mask>(_mm_movemask_epi8(high)) << 16;
    }
    static __m128i breaks16(const uint8_t *p) { return _mm_and_si128(is(p, kCR), is(p + 1, kLF)); }
    static __m128i markerEnds16(const uint8_t *p) {
        return _mm_and_si128(is(p + 2, '@'), is(p + 3, '='));
    }
    static __m128i pairs16(const uint8_t *p) {
        return _mm_and_si128(is(p, kStoredAt), is(p + 1, kStoredEquals));
    }
    static bool none(__m128i low, __m128i high) {
        return _mm_movemask_epi8(_mm_or_si128(low, high)) == 0;
    }

    // Each mask is first tested cheaply for the rarer half of what it looks
    // for, since most blocks hold none of it.
    static Mask breaks(const uint8_t *p) {
        if (none(is(p, kCR), is(p + 16, kCR)))
            return 0;
        return bits(breaks16(p), breaks16(p + 16));
    }
    static Mask markers(const uint8_t *p) {
        const __m128i low = markerEnds16(p), high = markerEnds16(p + 16);
        if (none(low, high))
            return 0;
        return bits(_mm_and_si128(low, breaks16(p)), _mm_and_si128(high, breaks16(p + 16)));
    }
    // Two blocks at once: most text has no '=' at all.
    static bool noEquals(const uint8_t *p) {
        const __m128i a = _mm_or_si128(is(p, '='), is(p + 16, '='));
        const __m128i b = _mm_or_si128(is(p + 32, '='), is(p + 48, '='));
        return none(a, b);
    }
    static Mask pairs(const uint8_t *p) { return bits(pairs16(p), pairs16(p + 16)); }
    static Decoded<Mask> complement(uint8_t *p) {
        const __m128i low = load(p), high = load(p + 16);
        const __m128i lfLow = _mm_cmpeq_epi8(low, _mm_set1_epi8(kLF));
        const __m128i lfHigh = _mm_cmpeq_epi8(high, _mm_set1_epi8(kLF));
        const __m128i equalsLow = _mm_cmpeq_epi8(low, _mm_set1_epi8(static_cast<char>(kStoredEquals)));
        const __m128i equalsHigh = _mm_cmpeq_epi8(high, _mm_set1_epi8(static_cast<char>(kStoredEquals)));
        // A repair needs a stored 0x0A; look for the stored marker after it
        // only then, and before the stores overwrite it.
        Decoded<Mask> found = {0, false};
        if (!none(_mm_or_si128(lfLow, lfHigh), _mm_or_si128(equalsLow, equalsHigh))) {
            found.repairs = bits(_mm_and_si128(lfLow, pairs16(p + 1)),
                           _mm_and_si128(lfHigh, pairs16(p + 17)));
            found.equals = !none(equalsLow, equalsHigh);
        }
        const __m128i ones = _mm_set1_epi8(-1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm_xor_si128(low, ones));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 16), _mm_xor_si128(high, ones));
        return found;
    }
    static uint32_t lowest(Mask m) { return static_cast<uint32_t>(__builtin_ctz(m)); }
};

} // namespace

VELLOMAR_VECTOR_ENTRY uint32_t buildLineTableSse2(const uint8_t *data, uint32_t length,
                                                  uint16_t *table, TableMode mode) {
    return buildTable<Sse2>(data, length, table, mode);
}

VELLOMAR_VECTOR_ENTRY void decodeMarkedSse2(uint8_t *data, uint32_t length) {
    decode<Sse2>(data, length);
}

VELLOMAR_VECTOR_ENTRY uint32_t decodeMarkedAndBuildSse2(uint8_t *data, uint32_t length,
                                                        uint16_t *table) {
    return decodeAndBuild<Sse2>(data, length, table);
}

} // namespace vellomar

#endif
