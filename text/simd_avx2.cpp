// The AVX2 kernels, a block in two 32-byte vectors, where the processor has it
// and the system saves its registers. AVX2 is on after the headers all code shares.
#include "text/kernels.h"
#include "text/text.h"
#ifdef VELLOMAR_X86
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif
#include <immintrin.h>

#include "text/block_decode.h"

namespace vellomar {
namespace {

struct Avx2 {
    struct Block { __m256i low, high; };
    static Block load(const uint8_t *p) {
        const __m256i *at = reinterpret_cast<const __m256i *>(p);
        return {_mm256_load_si256(at), _mm256_load_si256(at + 1)};
    }
    static void store(uint8_t *p, const Block &b) {
        _mm256_store_si256(reinterpret_cast<__m256i *>(p), b.low);
        _mm256_store_si256(reinterpret_cast<__m256i *>(p) + 1, b.high);
    }
    static Block equal(const Block &b, uint8_t byte) {
        const __m256i x = _mm256_set1_epi8(static_cast<char>(byte));
        return {_mm256_cmpeq_epi8(b.low, x), _mm256_cmpeq_epi8(b.high, x)};
    }
    static Block either(const Block &a, const Block &b) {
        return {_mm256_or_si256(a.low, b.low), _mm256_or_si256(a.high, b.high)};
    }
    static Block complement(const Block &b) {
        const __m256i ones = _mm256_set1_epi8(-1);
        return {_mm256_xor_si256(b.low, ones), _mm256_xor_si256(b.high, ones)};
    }
    static bool any(const Block &b) {
        return _mm256_movemask_epi8(_mm256_or_si256(b.low, b.high)) != 0;
    }
    static uint64_t bits(const Block &b) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(b.low)) |
               static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(b.high))) << 32;
    }
};

} // namespace

extern const KernelSet kAvx2Kernels = {"avx2", buildTable<Avx2>, decodeAndBuild<Avx2>, avx2Runs};

} // namespace vellomar

#if defined(__clang__)
#pragma clang attribute pop
#endif
#endif
