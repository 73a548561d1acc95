// The word kernels, a block in general registers (pointer-wide words): for
// processors and builds without a vector set. Built without the compiler's
// vectoriser (CMakeLists.txt), so that they do what such a processor does.
#include "text/kernels.h"
#include "text/text.h"

#include <string.h>

#include "text/block_decode.h"

namespace vellomar {
namespace {

struct Words {
    using Word = uintptr_t;
    static constexpr int kBytes = sizeof(Word), kWords = kBlock / kBytes;
    struct Block { Word w[kWords]; };
    static constexpr Word every(uint8_t byte) { return ~Word(0) / 0xFF * byte; }
    // Byte i's bottom bit to bit i of the top byte, by one product: no two
    // partial products meet, so nothing carries into it.
    static constexpr Word kGather = Word(0x0102040810204080u >> (64 - 8 * kBytes));

    // Unrolled at any optimisation level, so that the words stay in registers.
    template <class F> static void forEach(F f) {
#pragma GCC unroll 16
        for (int i = 0; i < kWords; ++i)
            f(i);
    }
    template <class F> static Block each(const Block &b, F f) { // f(word, its index)
        Block m;
        forEach([&](int i) { m.w[i] = f(b.w[i], i); });
        return m;
    }
    static Block load(const uint8_t *p) {
        Block b;
        forEach([&](int i) { memcpy(&b.w[i], p + i * kBytes, kBytes); });
        return b;
    }
    static void store(uint8_t *p, const Block &b) {
        forEach([&](int i) { memcpy(p + i * kBytes, &b.w[i], kBytes); });
    }
    // The top bit of each byte equal to `byte`, exactly: the low seven bits are
    // added without carrying out of their byte, so no borrow marks a neighbour.
    static Block equal(const Block &b, uint8_t byte) {
        return each(b, [byte](Word w, int) {
            const Word x = w ^ every(byte), low = every(0x7F);
            return ~(((x & low) + low) | x | low);
        });
    }
    static Block either(const Block &a, const Block &b) {
        return each(a, [&b](Word w, int i) { return w | b.w[i]; });
    }
    static Block complement(const Block &b) { return each(b, [](Word w, int) { return ~w; }); }
    static bool any(const Block &b) {
        Word all = 0;
        forEach([&](int i) { all |= b.w[i]; });
        return (all & every(0x80)) != 0;
    }
    static uint64_t bits(const Block &b) {
        uint64_t all = 0;
        forEach([&](int i) {
            all |= uint64_t((b.w[i] >> 7 & every(1)) * kGather >> 8 * (kBytes - 1)) << i * kBytes;
        });
        return all;
    }
};

} // namespace

extern const KernelSet kWordKernels = {"words", buildTable<Words>, decodeAndBuild<Words>,
                                       runsAnywhere};

} // namespace vellomar
