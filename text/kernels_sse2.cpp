// The SSE2 kernels: blocks of 64 bytes as four 16-byte vectors.
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

// Blocks of 64 bytes as four vectors: per byte, the loop's own work (the
// test, the branch, the walk's bookkeeping) is then a quarter of a vector's,
// little enough that a pass runs at the speed of memory even with the eight
// vector registers of the 32-bit build.
struct Sse2 {
    using Mask = uint64_t;
    static constexpr uint32_t kWidth = 64;
    static constexpr uint32_t kVector = 16;

    static __m128i load(const uint8_t *p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    }
    static __m128i is(const uint8_t *p, uint8_t value) {
        return _mm_cmpeq_epi8(load(p), _mm_set1_epi8(static_cast<char>(value)));
    }
    static uint32_t bits16(__m128i v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); }
    static Mask bits(__m128i a, __m128i b, __m128i c, __m128i d) {
        return static_cast<Mask>(bits16(a) | bits16(b) << 16) |
               static_cast<Mask>(bits16(c) | bits16(d) << 16) << 32;
    }
    static bool none(__m128i v) { return _mm_movemask_epi8(v) == 0; }
    // True when none of the 64 bytes from p is `value`.
    static bool noByte(const uint8_t *p, uint8_t value) {
        return none(_mm_or_si128(_mm_or_si128(is(p, value), is(p + 16, value)),
                                 _mm_or_si128(is(p + 32, value), is(p + 48, value))));
    }
    static __m128i breaks16(const uint8_t *p) { return _mm_and_si128(is(p, kCR), is(p + 1, kLF)); }
    static __m128i markerEnds16(const uint8_t *p) {
        return _mm_and_si128(is(p + 2, '@'), is(p + 3, '='));
    }
    static __m128i markers16(const uint8_t *p) {
        return _mm_and_si128(markerEnds16(p), breaks16(p));
    }
    static __m128i pairs16(const uint8_t *p) {
        return _mm_and_si128(is(p, kStoredAt), is(p + 1, kStoredEquals));
    }

    // Each mask is first tested cheaply for the rarer half of what it looks
    // for, since most blocks hold none of it. The whole mask is made out of
    // line: inlined, the compiler keeps the test's vectors for it, and with
    // eight registers the 32-bit loop then moves its loads through the stack.
    static Mask breaks(const uint8_t *p) { return noByte(p, kCR) ? 0 : allBreaks(p); }
    static __attribute__((noinline)) Mask allBreaks(const uint8_t *p) {
        return bits(breaks16(p), breaks16(p + 16), breaks16(p + 32), breaks16(p + 48));
    }
    static Mask markers(const uint8_t *p) { return noByte(p + 3, '=') ? 0 : allMarkers(p); }
    static __attribute__((noinline)) Mask allMarkers(const uint8_t *p) {
        return bits(markers16(p), markers16(p + 16), markers16(p + 32), markers16(p + 48));
    }
    // Two blocks at once: most text has no '=' at all. The '=' of the
    // blocks' markers lie three bytes on; the vectors are loaded where the
    // blocks start, aligned, and one more covers those three bytes.
    static bool noEquals(const uint8_t *p) {
        return noByte(p, '=') && noByte(p + 64, '=') && none(is(p + 128, '='));
    }
    static bool noCRs(const uint8_t *p) { return noByte(p, kCR) && noByte(p + 64, kCR); }
    static Mask pairs(const uint8_t *p) {
        return bits(pairs16(p), pairs16(p + 16), pairs16(p + 32), pairs16(p + 48));
    }
    // The decoding's whole loop, most of the time: load, complement, store,
    // and one compare per vector for the stored '=', the one byte that every
    // marker and every repair has. Vector by vector, so that the 32-bit
    // build needs few registers, and written out four times: as a loop, GCC
    // kept it a loop at -O2, and the decoding of a file in the cache took
    // three times as long as a bare complement.
    static __m128i complement16(uint8_t *p) {
        const __m128i v = load(p);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm_xor_si128(v, _mm_set1_epi8(-1)));
        return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(kStoredEquals)));
    }
    static bool complement(uint8_t *p) {
        const __m128i low = _mm_or_si128(complement16(p), complement16(p + 16));
        return !none(_mm_or_si128(low, _mm_or_si128(complement16(p + 32), complement16(p + 48))));
    }
    static __m128i repairs16(const uint8_t *p) {
        return _mm_and_si128(_mm_and_si128(is(p - 2, kStoredLF), is(p - 1, '@')), is(p, '='));
    }
    // Rare (a block with an '='), so out of line: no vector of the loop's
    // lives across the call.
    static __attribute__((noinline)) Mask repairs(const uint8_t *p) {
        return bits(repairs16(p), repairs16(p + 16), repairs16(p + 32), repairs16(p + 48));
    }
    static uint32_t lowest(Mask m) { return lowestBit(m); }
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
