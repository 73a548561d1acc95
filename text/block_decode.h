// A marked file's decoding fused with its table build, over the walk's P.
#ifndef VELLOMAR_TEXT_BLOCK_DECODE_H
#define VELLOMAR_TEXT_BLOCK_DECODE_H

#include "text/block_walk.h"

namespace vellomar {
namespace {

// Where the stored pair 0xBF 0xC2 first starts, from byte 1 on; else the end.
template <class P> Pos findScrambledStart(const Blocks &d) {
    uint64_t carriedAt = 0;
    for (Pos at = 0; at < d.end; at += kBlock) {
        const typename P::Block block = loadBlock<P>(d, at);
        const uint64_t ats = bitsOf<P>(block, kStoredAt), from = bitsFrom(at, d.begin + 2);
        const uint64_t pairEnds = bitsOf<P>(block, kStoredEquals) & (ats << 1 | carriedAt) & from;
        if (pairEnds != 0)
            return at + lowestBit(pairEnds) - 1;
        carriedAt = ats >> 63;
    }
    return d.end;
}

// Once the block is decoded, the two bytes before each 0xF5 '@' '=' become CR
// LF (a break stored plain, complemented); before `start` bytes are as
// stored. A repair writes only bytes before its '@', none another looks at.
template <class P> void repairBlock(uint8_t *base, const Blocks &d, Pos at, Pos start) {
    const typename P::Block block = loadBlock<P>(d, at);
    const uint8_t twoBefore = at >= d.begin + 2 ? base[at - 2] : 0;
    const uint8_t oneBefore = at >= d.begin + 1 ? base[at - 1] : 0;
    const uint64_t ats = bitsOf<P>(block, kMarkerAt) << 1 | uint64_t(oneBefore == kMarkerAt);
    const uint64_t lfs = bitsOf<P>(block, kStoredLF) << 2 | uint64_t(oneBefore == kStoredLF) << 1 |
                         uint64_t(twoBefore == kStoredLF);
    const Pos first = start + 1 > d.begin + 3 ? start + 1 : d.begin + 3; // the first '=' repaired
    uint64_t repairs = bitsOf<P>(block, kMarkerEquals) & ats & lfs & bitsFrom(at, first);
    for (; repairs != 0; repairs &= repairs - 1)
        restoreBreak(base + at + lowestBit(repairs) - 3);
}

// Decodes whole blocks from `at` to `end` while they hold no '=' (most of a
// marked file); returns the first that does, not repaired, or `end`.
template <class P> Pos decodeQuiet(uint8_t *base, Pos at, Pos end) {
    uint8_t *p = base + at;
    for (; p < base + end; p += kBlock) {
        const typename P::Block decoded = P::complement(P::load(p));
        P::store(p, decoded);
        if (P::any(P::equal(decoded, kMarkerEquals)))
            break;
    }
    return Pos(p - base);
}

// Decodes the block from `start` on and repairs it; true if it may hold '='.
template <class P> bool decodeBlock(uint8_t *base, const Blocks &d, Pos at, Pos start) {
    if (d.isWhole(at) && at >= start) {
        if (decodeQuiet<P>(base, at, at + kBlock) != at)
            return false;
    } else {
        const Pos to = at + kBlock < d.end ? at + kBlock : d.end;
        for (Pos i = at < start ? start : at; i < to; ++i)
            base[i] = stored(base[i]);
    }
    repairBlock<P>(base, d, at, start);
    return true;
}

// From the whole block `final`, which holds no '=', decodes on to the next
// that holds one, repairs and returns it; else returns the last whole block.
template <class P> Pos decodeToMarker(uint8_t *base, const Blocks &d, Pos final, Pos start) {
    const Pos wholeEnd = d.end / kBlock * kBlock;
    const Pos next = decodeQuiet<P>(base, final + kBlock, wholeEnd);
    if (next == wholeEnd)
        return next - kBlock;
    repairBlock<P>(base, d, next, start);
    return next;
}

// Decodes a marked file and builds its table in one pass. Every byte before
// the block `final` is final; that block is walked once the next one, whose
// repairs may rewrite it, is decoded. Blocks without '=' are only decoded.
template <class P> uint32_t decodeAndBuild(uint8_t *data, uint32_t length, uint16_t *table) {
    const Blocks d(data, length);
    uint8_t *const base = data - d.begin;
    const Pos start = findScrambledStart<P>(d);
    if (start >= d.end)
        return buildTable<P>(data, length, table, TableMode::record);
    Walk<P> walk(table, TableMode::record, d);
    Pos final = start / kBlock * kBlock;
    bool mayMark = decodeBlock<P>(base, d, final, start);
    bool room = walk.blocks(0, final);
    while (room) {
        if (!mayMark && !walk.mayClose())
            final = decodeToMarker<P>(base, d, final, start);
        if (final + 2 * kBlock > d.end)
            break;
        mayMark = decodeBlock<P>(base, d, final + kBlock, start);
        room = walk.block(final);
        final += kBlock;
    }
    for (Pos rest = final + kBlock; rest < d.end; rest += kBlock)
        decodeBlock<P>(base, d, rest, start);
    if (base[d.end - 2] == kStoredCR && base[d.end - 1] == kStoredLF) // stored plain
        restoreBreak(base + d.end - 2);
    return walk.finish(room && walk.blocks(final, d.end + 2));
}

} // namespace
} // namespace vellomar

#endif
