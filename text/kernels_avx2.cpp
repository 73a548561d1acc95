// The AVX2 kernels: blocks of 64 bytes as two 32-byte vectors. Compiled with
// AVX2 enabled and run only when the processor has it (kernels.cpp).
#include "text/kernels.h"

#if VELLOMAR_KERNELS_AVX2

#include <immintrin.h>

#include "text/simd_kernels.h"

namespace vellomar {

namespace {

struct Avx2 {
    using Mask = uint64_t;
    static constexpr uint32_t kWidth = 64;

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
    static __m256i markers32(const uint8_t *p) {
        return _mm256_and_si256(breaks32(p), _mm256_and_si256(is(p + 2, '@'), is(p + 3, '=')));
    }
    static __m256i pairs32(const uint8_t *p) {
        return _mm256_and_si256(is(p, kStoredAt), is(p + 1, kStoredEquals));
    }
    static __m256i complement32(uint8_t *p) {
        const __m256i stored = load(p);
        const __m256i repair = _mm256_and_si256(
            _mm256_cmpeq_epi8(stored, _mm256_set1_epi8(kLF)), pairs32(p + 1));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p),
                            _mm256_xor_si256(stored, _mm256_set1_epi8(-1)));
        return repair;
    }

    static Mask breaks(const uint8_t *p) { return bits(breaks32(p), breaks32(p + 32)); }
    static Mask markers(const uint8_t *p) { return bits(markers32(p), markers32(p + 32)); }
    static Mask pairs(const uint8_t *p) { return bits(pairs32(p), pairs32(p + 32)); }
    static Mask complement(uint8_t *p) {
        const __m256i low = complement32(p);
        return bits(low, complement32(p + 32));
    }
    static uint32_t lowest(Mask m) { return static_cast<uint32_t>(__builtin_ctzll(m)); }
};

} // namespace

uint32_t buildLineTableAvx2(const uint8_t *data, uint32_t length, uint16_t *table,
                            TableMode mode) {
    return buildTable<Avx2>(data, length, table, mode);
}

void decodeMarkedAvx2(uint8_t *data, uint32_t length) { decode<Avx2>(data, length); }

uint32_t decodeMarkedAndBuildAvx2(uint8_t *data, uint32_t length, uint16_t *table) {
    return decodeAndBuild<Avx2>(data, length, table);
}

} // namespace vellomar

#endif
