// The word kernels, a block in the processor's general registers: 64-bit
// words on 64-bit processors, 32-bit words on 32-bit ones. They run anywhere,
// and are what a processor without vectors (or a build without a vector set)
// runs. Built without the compiler's vectoriser (CMakeLists.txt), so that
// they time what such a processor does.
#include "text/kernels.h"
#include "text/text.h"

#include <string.h>

#include "text/block_decode.h"

namespace vellomar {
namespace {

struct Words {
    using Word = uintptr_t;
    static constexpr int kWords = kBlock / sizeof(Word), kBytes = sizeof(Word);
    struct Block {
        Word w[kWords];
    };
    static constexpr Word every(uint8_t byte) { return ~Word(0) / 0xFF * byte; }
    // Byte i's top bit to bit i: the top bits shifted down to the bottom of
    // each byte, then one product lays them side by side in the top byte;
    // no two partial products meet, so nothing carries into it.
    static constexpr Word gather() {
        Word magic = 0;
        for (int i = 0; i < kBytes; ++i)
            magic |= Word(1) << (8 * (kBytes - 1) - 7 * i);
        return magic;
    }

    static Block load(const uint8_t *p) {
        Block b;
        for (int i = 0; i < kWords; ++i)
            memcpy(&b.w[i], p + i * kBytes, kBytes);
        return b;
    }
    static void store(uint8_t *p, const Block &b) {
        for (int i = 0; i < kWords; ++i)
            memcpy(p + i * kBytes, &b.w[i], kBytes);
    }
    // The top bit of each byte equal to `byte`, exactly: the low seven bits
    // are added without carrying out of the byte, so no borrow or carry
    // makes a neighbour match.
    static Block equal(const Block &b, uint8_t byte) {
        Block m;
        for (int i = 0; i < kWords; ++i) {
            const Word x = b.w[i] ^ every(byte), low = every(0x7F);
            m.w[i] = ~(((x & low) + low) | x | low);
        }
        return m;
    }
    static Block either(const Block &a, const Block &b) {
        Block m;
        for (int i = 0; i < kWords; ++i)
            m.w[i] = a.w[i] | b.w[i];
        return m;
    }
    static Block complement(const Block &b) {
        Block m;
        for (int i = 0; i < kWords; ++i)
            m.w[i] = ~b.w[i];
        return m;
    }
    static bool any(const Block &b) {
        Word all = 0;
        for (int i = 0; i < kWords; ++i)
            all |= b.w[i];
        return (all & every(0x80)) != 0;
    }
    static uint64_t bits(const Block &b) {
        uint64_t all = 0;
        for (int i = 0; i < kWords; ++i)
            all |= uint64_t((b.w[i] >> 7 & every(1)) * gather() >> 8 * (kBytes - 1)) << i * kBytes;
        return all;
    }
};

} // namespace

extern const KernelSet kWordKernels = {"words", buildTable<Words>, decodeAndBuild<Words>,
                                       runsAnywhere};

} // namespace vellomar
