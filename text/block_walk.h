// The line table build 64 bytes at a time, written once over a processor's
// primitives P (docs/design.md): a type P::Block of 64 bytes; load, store,
// equal, either, complement, any, bits. Each file that defines a P includes
// this once its instruction set is on; internal linkage keeps that copy there.
#ifndef VELLOMAR_TEXT_BLOCK_WALK_H
#define VELLOMAR_TEXT_BLOCK_WALK_H

#include "text/blocks.h"

namespace vellomar {
namespace {

// A block's masks are walked in parts of a pointer's width, 64 bits or two
// halves of 32, so that a 32-bit build keeps each mask in one register.
using Mask = uintptr_t;
constexpr int kMaskBits = 8 * sizeof(Mask), kParts = kBlock / kMaskBits;
Mask part(uint64_t bits, int i) { return static_cast<Mask>(bits >> (i * kMaskBits)); }

// The walk. A break counts two bytes past its LF, where a marker's '=' would
// stand and it is known whether one follows. A break and its marker may
// start three bytes before a part: the bits of the part before are carried.
template <class P> class Walk {
public:
    Walk(uint16_t *table, TableMode mode, const Blocks &d)
        : out_(table, mode), d_(d), record_(mode == TableMode::record), entryStart_(d.begin) {}
    // Whether a block without '=' (record mode) or CR (plain mode) may close
    // an entry: an open marker line at any break, or a carried CR.
    bool mayClose() const { return record_ ? pending_ : (last_.cr >> (kMaskBits - 3)) != 0; }

    // Walks the blocks from `at` up to `until`, passing over those that
    // cannot close an entry; false when the table is full.
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
    // Blocks passed over before it closed none: their last part's bits carry.
    bool block(Pos at) {
        if (at != next_)
            last_ = partOf(bitsOfBlock(loadBlock<P>(d_, at - kBlock)), kParts - 1);
        next_ = at + kBlock;
        const typename P::Block b = loadBlock<P>(d_, at);
        const Bits bits = bitsOfBlock(b);
        const uint64_t equals = record_ ? bitsOf<P>(b, kMarkerEquals) : 0;
        for (int i = 0; i < kParts; ++i)
            if (!closeIn(at + Pos(i * kMaskBits), partOf(bits, i), part(equals, i)))
                return false;
        return true;
    }

    // The entry count. While the table has room, a line break closes the
    // last entry as though it followed the data.
    uint32_t finish(bool room) {
        if (room)
            out_.close(static_cast<uint32_t>(d_.end + 2 - entryStart_));
        return out_.finish();
    }

private:
    struct Bits { uint64_t cr, lf, at; }; // a block's CRs, LFs and, in record mode, '@'s
    struct Masks { Mask cr, lf, at; };     // the same of one part
    Bits bitsOfBlock(const typename P::Block &b) const {
        return {bitsOf<P>(b, kCR), bitsOf<P>(b, kLF), record_ ? bitsOf<P>(b, kMarkerAt) : 0};
    }
    static Masks partOf(const Bits &bits, int i) {
        return {part(bits.cr, i), part(bits.lf, i), part(bits.at, i)};
    }

    bool closeIn(Pos at, const Masks &now, Mask equals) {
        Mask breaks = (now.cr << 3 | last_.cr >> (kMaskBits - 3)) &
                      (now.lf << 2 | last_.lf >> (kMaskBits - 2));
        Mask markers = breaks;
        if (record_)
            markers &= (now.at << 1 | last_.at >> (kMaskBits - 1)) & equals;
        last_ = now;
        for (Mask closing; (closing = pending_ ? breaks : markers) != 0;) {
            const uint32_t bit = lowestBit(closing);
            const Pos next = at + bit - 1; // the byte after the LF
            if (!out_.close(static_cast<uint32_t>(next - entryStart_)))
                return false;
            entryStart_ = next;
            pending_ = record_ && (markers >> bit & 1) != 0;
            const Mask upToThis = closing ^ (closing - 1);
            breaks &= ~upToThis;
            markers &= ~upToThis;
        }
        return true;
    }

    TableWriter out_;
    const Blocks d_;
    bool record_, pending_ = false; // pending: the current entry is a marker line
    Pos entryStart_, next_ = 0;     // next_: the block after the last one walked
    Masks last_ = {0, 0, 0};        // of the part before the next one
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
