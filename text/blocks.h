// Reading the data 64 bytes at a time for the block walk (block_walk.h): the
// blocks, the partial first and last one, and passing over quiet blocks.
#ifndef VELLOMAR_TEXT_BLOCKS_H
#define VELLOMAR_TEXT_BLOCKS_H

#include "text/kernels.h"
#include "text/text.h"

namespace vellomar {
namespace {

// Blocks lie on 64-byte aligned addresses, so that no load or store crosses
// a cache line. Places count from the first block's first byte: unsigned
// and as wide as a pointer, so that a 32-bit build keeps each in one
// register. The first block may start before the data and the last end
// after it: those are read through a copy with zeros, none of the format's
// bytes, outside the data.
constexpr int kBlock = 64;
using Pos = uintptr_t;
struct Blocks {
    Blocks(const uint8_t *data, uint32_t length)
        : base(data - reinterpret_cast<uintptr_t>(data) % kBlock), begin(Pos(data - base)),
          end(begin + length) {}
    bool isWhole(Pos at) const { return at >= begin && at + kBlock <= end; }
    const uint8_t *base; // the first block
    Pos begin, end;      // the data
};

template <class P> typename P::Block loadBlock(const Blocks &d, Pos at) {
    if (d.isWhole(at))
        return P::load(d.base + at);
    alignas(kBlock) uint8_t copy[kBlock] = {};
    const Pos from = at > d.begin ? at : d.begin, to = at + kBlock < d.end ? at + kBlock : d.end;
    for (Pos i = from; i < to; ++i) // one bound: a memcpy
        copy[i - at] = d.base[i];
    return P::load(copy);
}

template <class P> uint64_t bitsOf(const typename P::Block &block, uint8_t byte) {
    return P::bits(P::equal(block, byte));
}
uint64_t bitsFrom(Pos at, Pos from) { // the bits of the block at `at` from `from` on
    return from <= at ? ~uint64_t(0) : from - at >= kBlock ? 0 : ~uint64_t(0) << (from - at);
}
uint32_t lowestBit(uint32_t bits) { return static_cast<uint32_t>(__builtin_ctz(bits)); }
uint32_t lowestBit(uint64_t bits) { // in halves where words are 32-bit: no helper call
    if (sizeof(uintptr_t) == 8)
        return static_cast<uint32_t>(__builtin_ctzll(bits));
    const uint32_t low = static_cast<uint32_t>(bits), high = static_cast<uint32_t>(bits >> 32);
    return low != 0 ? lowestBit(low) : 32 + lowestBit(high);
}

// Passes over whole blocks from `at` to `end`, two at a time, while they
// hold no `rare` byte; returns the first that may.
template <class P> Pos skipQuiet(const uint8_t *base, Pos at, Pos end, uint8_t rare) {
    const uint8_t *p = base + at, *const stop = base + end;
    while (stop - p >= 2 * kBlock && !P::any(P::either(P::equal(P::load(p), rare),
                                                       P::equal(P::load(p + kBlock), rare))))
        p += 2 * kBlock;
    if (stop - p >= kBlock && !P::any(P::equal(P::load(p), rare)))
        p += kBlock;
    return Pos(p - base);
}

} // namespace
} // namespace vellomar

#endif
