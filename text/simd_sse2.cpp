// The SSE2 kernels, a block in four 16-byte vectors: for every x86-64, and the
// 32-bit DLL where cpuid says so. SSE2 is on after the headers all code shares.
#include "text/kernels.h"
#include "text/text.h"
#ifdef VELLOMAR_X86
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse2"))), apply_to = function)
#else
#pragma GCC target("sse2")
#endif
#include <emmintrin.h>

#include "text/block_decode.h"

namespace vellomar {
namespace {

struct Sse2 {
    struct Block { __m128i v[4]; };
    static Block load(const uint8_t *p) {
        const __m128i *at = reinterpret_cast<const __m128i *>(p);
        return {{_mm_load_si128(at), _mm_load_si128(at + 1), _mm_load_si128(at + 2),
                 _mm_load_si128(at + 3)}};
    }
    static void store(uint8_t *p, const Block &b) { // not a loop, which GCC makes a memcpy
        __m128i *at = reinterpret_cast<__m128i *>(p);
        _mm_store_si128(at, b.v[0]), _mm_store_si128(at + 1, b.v[1]);
        _mm_store_si128(at + 2, b.v[2]), _mm_store_si128(at + 3, b.v[3]);
    }
    static Block equal(const Block &b, uint8_t byte) {
        const __m128i x = _mm_set1_epi8(static_cast<char>(byte));
        return {{_mm_cmpeq_epi8(b.v[0], x), _mm_cmpeq_epi8(b.v[1], x), _mm_cmpeq_epi8(b.v[2], x),
                 _mm_cmpeq_epi8(b.v[3], x)}};
    }
    static Block either(const Block &a, const Block &b) {
        return {{_mm_or_si128(a.v[0], b.v[0]), _mm_or_si128(a.v[1], b.v[1]),
                 _mm_or_si128(a.v[2], b.v[2]), _mm_or_si128(a.v[3], b.v[3])}};
    }
    static Block complement(const Block &b) {
        const __m128i ones = _mm_set1_epi8(-1);
        return {{_mm_xor_si128(b.v[0], ones), _mm_xor_si128(b.v[1], ones),
                 _mm_xor_si128(b.v[2], ones), _mm_xor_si128(b.v[3], ones)}};
    }
    static bool any(const Block &b) {
        return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(b.v[0], b.v[1]),
                                              _mm_or_si128(b.v[2], b.v[3]))) != 0;
    }
    static uint64_t bits(const Block &b) {
        const uint32_t low = static_cast<uint32_t>(_mm_movemask_epi8(b.v[0]) |
                                                   _mm_movemask_epi8(b.v[1]) << 16);
        const uint32_t high = static_cast<uint32_t>(_mm_movemask_epi8(b.v[2]) |
                                                    _mm_movemask_epi8(b.v[3]) << 16);
        return low | static_cast<uint64_t>(high) << 32;
    }
};

} // namespace

extern const KernelSet kSse2Kernels = {"sse2", buildTable<Sse2>, decodeAndBuild<Sse2>, sse2Runs};

} // namespace vellomar

#if defined(__clang__)
#pragma clang attribute pop
#endif
#endif
