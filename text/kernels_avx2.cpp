// The AVX2 kernels: blocks of 64 bytes as two 32-byte vectors. Compiled with
// AVX2 enabled and run only when the processor has it (kernels.cpp).
#include "text/kernels.h"

#if VELLOMAR_KERNELS_AVX2

#include <immintrin.h>

#include "text/simd_kernels.h"

#if defined(__i386__)
// A 32-bit Windows caller may hand over a stack aligned to 4 bytes only;
// realign it. A function that spills a 256-bit register aligns its own frame
// to 32 bytes on top of that, and the spills are unaligned moves anyway.
#define VELLOMAR_VECTOR_ENTRY __attribute__((force_align_arg_pointer))
#else
#define VELLOMAR_VECTOR_ENTRY
#endif

namespace vellomar {

namespace {

struct Avx2 {
    using Mask = uint64_t;
    static constexpr uint32_t kWidth = 64;
    static constexpr uint32_t kVector = 32;

    static __m256i load(const uint8_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static __m256i is(const uint8_t *p, uint8_t value) {
        return _mm256_cmpeq_epi8(load(p), _mm256_set1_epi8(static_cast<char>(value)));
    }
    static Mask bits(__m256i low, __m256i high) {
        return static_cast<Mask>(static_cast<uint32_t>(_mm256_movemask_epi8(low))) |
               static_cast<Mask>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
    }
    static __m256i breaks32(const uint8_t *p) {
        return _mm256_and_si256(is(p, kCR), is(p + 1, kLF));
    }
    static __m256i markerEnds32(const uint8_t *p) {
        return _mm256_and_si256(is(p + 2, '@'), is(p + 3, '='));
    }
    static __m256i pairs32(const uint8_t *p) {
        return _mm256_and_si256(is(p, kStoredAt), is(p + 1, kStoredEquals));
    }
    static bool none(__m256i low, __m256i high) {
        const __m256i any = _mm256_or_si256(low, high);
        return _mm256_testz_si256(any, any) != 0;
    }

    // Each mask is first tested cheaply for the rarer half of what it looks
    // for, since most blocks hold none of it. The whole mask is made out of
    // line, so that the loop keeps no vector for it and spills none.
    static Mask breaks(const uint8_t *p) {
        return none(is(p, kCR), is(p + 32, kCR)) ? 0 : allBreaks(p);
    }
    static __attribute__((noinline)) Mask allBreaks(const uint8_t *p) {
        return bits(breaks32(p), breaks32(p + 32));
    }
    static Mask markers(const uint8_t *p) {
        return none(is(p + 3, '='), is(p + 35, '=')) ? 0 : allMarkers(p);
    }
    static __attribute__((noinline)) Mask allMarkers(const uint8_t *p) {
        return bits(_mm256_and_si256(markerEnds32(p), breaks32(p)),
                    _mm256_and_si256(markerEnds32(p + 32), breaks32(p + 32)));
    }
    // Two blocks at once: most text has no '=' at all. The '=' of the
    // blocks' markers lie three bytes on; the vectors are loaded where the
    // blocks start, aligned, and one more covers those three bytes.
    static bool noEquals(const uint8_t *p) {
        const __m256i a = _mm256_or_si256(is(p, '='), is(p + 32, '='));
        const __m256i b = _mm256_or_si256(is(p + 64, '='), is(p + 96, '='));
        return none(_mm256_or_si256(a, is(p + 128, '=')), b);
    }
    static bool noCRs(const uint8_t *p) {
        return none(_mm256_or_si256(is(p, kCR), is(p + 32, kCR)),
                    _mm256_or_si256(is(p + 64, kCR), is(p + 96, kCR)));
    }
    static Mask pairs(const uint8_t *p) { return bits(pairs32(p), pairs32(p + 32)); }
    // The decoding's whole loop, most of the time: load, complement, store,
    // and one compare per vector for the stored '=', the one byte that every
    // marker and every repair has.
    static bool complement(uint8_t *p) {
        const __m256i ones = _mm256_set1_epi8(-1);
        const __m256i equals = _mm256_set1_epi8(static_cast<char>(kStoredEquals));
        const __m256i low = load(p), high = load(p + 32);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), _mm256_xor_si256(low, ones));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p + 32), _mm256_xor_si256(high, ones));
        return !none(_mm256_cmpeq_epi8(low, equals), _mm256_cmpeq_epi8(high, equals));
    }
    static __m256i repairs32(const uint8_t *p) {
        return _mm256_and_si256(_mm256_and_si256(is(p - 2, kStoredLF), is(p - 1, '@')),
                                is(p, '='));
    }
    // Rare (a block with an '='), so out of line.
    static __attribute__((noinline)) Mask repairs(const uint8_t *p) {
        return bits(repairs32(p), repairs32(p + 32));
    }
    static uint32_t lowest(Mask m) { return lowestBit(m); }
};

} // namespace

VELLOMAR_VECTOR_ENTRY uint32_t buildLineTableAvx2(const uint8_t *data, uint32_t length,
                                                  uint16_t *table, TableMode mode) {
    return buildTable<Avx2>(data, length, table, mode);
}

VELLOMAR_VECTOR_ENTRY void decodeMarkedAvx2(uint8_t *data, uint32_t length) {
    decode<Avx2>(data, length);
}

VELLOMAR_VECTOR_ENTRY uint32_t decodeMarkedAndBuildAvx2(uint8_t *data, uint32_t length,
                                                        uint16_t *table) {
    return decodeAndBuild<Avx2>(data, length, table);
}

} // namespace vellomar

#endif
