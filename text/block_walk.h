// The line table build 64 bytes at a time, once over a processor's primitives
// P (docs/design.md): reading the blocks, passing over quiet ones, and the
// walk. A file that defines a P includes this once its instruction set is
// on; internal linkage keeps that copy there.
#ifndef VELLOMAR_TEXT_BLOCK_WALK_H
#define VELLOMAR_TEXT_BLOCK_WALK_H

#include "text/kernels.h"
#include "text/text.h"

namespace vellomar {
namespace {

// Blocks lie on 64-byte aligned addresses: no load or store crosses a cache
// line. Places count from the first block's first byte, unsigned, pointer-
// wide (one register in a 32-bit build). The first and last blocks are read
// through a copy with zeros, none of the format's bytes, outside the data.
constexpr int kBlock = 64;
using Pos = uintptr_t;
struct Blocks {
    Blocks(const uint8_t *data, uint32_t length)
        : base(data - reinterpret_cast<uintptr_t>(data) % kBlock), begin(Pos(data - base)),
          end(begin + length) {}
    bool isWhole(Pos at) const { return at >= begin && at + kBlock <= end; }
    const uint8_t *base; // the first block; the data lies from begin to end
    Pos begin, end;
};

template <class P> inline typename P::Block loadBlock(const Blocks &d, Pos at) {
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
inline uint64_t bitsFrom(Pos at, Pos from) { // the bits of the block at `at` from `from` on
    return from <= at ? ~uint64_t(0) : from - at >= kBlock ? 0 : ~uint64_t(0) << (from - at);
}
inline uint32_t lowestBit(uint32_t bits) { return static_cast<uint32_t>(__builtin_ctz(bits)); }
inline uint32_t lowestBit(uint64_t bits) { // in halves where words are 32-bit: no helper call
    if (sizeof(uintptr_t) == 8)
        return static_cast<uint32_t>(__builtin_ctzll(bits));
    const uint32_t low = static_cast<uint32_t>(bits), high = static_cast<uint32_t>(bits >> 32);
    return low != 0 ? lowestBit(low) : 32 + lowestBit(high);
}

// Passes over whole blocks, two at a time, while they hold no `rare` byte.
template <class P> Pos skipQuiet(const uint8_t *base, Pos at, Pos end, uint8_t rare) {
    const uint8_t *p = base + at, *const stop = base + end;
    while (stop - p >= 2 * kBlock && !P::any(P::either(P::equal(P::load(p), rare),
                                                       P::equal(P::load(p + kBlock), rare))))
        p += 2 * kBlock;
    if (stop - p >= kBlock && !P::any(P::equal(P::load(p), rare)))
        p += kBlock;
    return Pos(p - base);
}

// A block's masks are walked in pointer-wide parts: one of 64 bits, or two of 32.
using Mask = uintptr_t;
constexpr int kMaskBits = 8 * sizeof(Mask), kParts = kBlock / kMaskBits;
inline Mask part(uint64_t bits, int i) { return static_cast<Mask>(bits >> (i * kMaskBits)); }

// The walk. A break counts two bytes past its LF, where a marker's '=' would
// stand and it is known whether one follows. A break and its marker may
// start three bytes before a part: the bits of the part before are carried.
template <class P> class Walk {
public:
    Walk(uint16_t *table, TableMode mode, const Blocks &d)
        : out_(table, mode), d_(d), record_(mode == TableMode::record), entryStart_(d.begin) {}
    // Whether a block without '=' (record mode) or CR may close an entry.
    bool mayClose() const { return record_ ? pending_ : (last_.cr >> (kMaskBits - 3)) != 0; }
    // Walks the blocks from `at` to `until`; false when the table is full.
    bool blocks(Pos at, Pos until) {
        for (; at < until; at += kBlock) {
            if (d_.isWhole(at) && !mayClose())
                at = skipQuiet<P>(d_.base, at, until < d_.end ? until : d_.end,
                                  record_ ? kMarkerEquals : kCR);
            if (at < until && !block(at))
                return false;
        }
        return true;
    }
    // Closes the entries of the block at `at`; false when the table is full.
    bool block(Pos at) {
        if (at != next_) // after blocks passed over
            last_ = partOf(bitsOfBlock(loadBlock<P>(d_, at - kBlock)), kParts - 1);
        next_ = at + kBlock;
        const Bits bits = bitsOfBlock(loadBlock<P>(d_, at));
        for (int i = 0; i < kParts; ++i)
            if (!closeIn(at + Pos(i * kMaskBits), partOf(bits, i)))
                return false;
        return true;
    }
    // The entry count; with room left, a break after the data closes the last.
    uint32_t finish(bool room) {
        if (room)
            out_.close(static_cast<uint32_t>(d_.end + 2 - entryStart_));
        return out_.finish();
    }

private:
    struct Bits { uint64_t cr, lf, at, equals; }; // '@' and '=' in record mode alone
    struct Masks { Mask cr, lf, at, equals; };     // of one part
    Bits bitsOfBlock(const typename P::Block &b) const {
        return {bitsOf<P>(b, kCR), bitsOf<P>(b, kLF), record_ ? bitsOf<P>(b, kMarkerAt) : 0,
                record_ ? bitsOf<P>(b, kMarkerEquals) : 0};
    }
    static Masks partOf(const Bits &b, int i) {
        return {part(b.cr, i), part(b.lf, i), part(b.at, i), part(b.equals, i)};
    }
    bool closeIn(Pos at, const Masks &now) {
        Mask breaks = (now.cr << 3 | last_.cr >> (kMaskBits - 3)) &
                      (now.lf << 2 | last_.lf >> (kMaskBits - 2));
        Mask markers = breaks;
        if (record_)
            markers &= (now.at << 1 | last_.at >> (kMaskBits - 1)) & now.equals;
        last_ = now;
        for (Mask closing; (closing = pending_ ? breaks : markers) != 0;) {
            const uint32_t bit = lowestBit(closing);
            const Pos next = at + bit - 1; // the byte after the LF
            if (!out_.close(static_cast<uint32_t>(next - entryStart_)))
                return false;
            entryStart_ = next;
            pending_ = record_ && (markers >> bit & 1) != 0;
            const Mask past = ~(closing ^ (closing - 1)); // the bits past this one
            breaks &= past;
            markers &= past;
        }
        return true;
    }

    TableWriter out_;
    const Blocks d_;
    bool record_, pending_ = false; // pending: the current entry is a marker line
    Pos entryStart_, next_ = 0;     // next_: the block after the last one walked
    Masks last_ = {0, 0, 0, 0};        // of the part before the next one
};

template <class P>
uint32_t buildTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode) {
    if (length == 0) // one entry of 3, as the reference has it
        return buildLineTableScalar(data, length, table, mode);
    const Blocks d(data, length);
    Walk<P> walk(table, mode, d); // breaks count up to two bytes past the end
    return walk.finish(walk.blocks(0, d.end + 2));
}

} // namespace
} // namespace vellomar

#endif
