// A marked file's decoding fused with its table build, 64 bytes at a time,
// over the same primitives P as the walk (block_walk.h).
#ifndef VELLOMAR_TEXT_BLOCK_DECODE_H
#define VELLOMAR_TEXT_BLOCK_DECODE_H

#include "text/block_walk.h"

namespace vellomar {
namespace {

// Where the stored pair 0xBF 0xC2 first starts, from the data's byte 1 on;
// else the data's end.
template <class P> Pos findScrambledStart(const Blocks &d) {
    uint64_t carriedAt = 0;
    for (Pos at = 0; at < d.end; at += kBlock) {
        const typename P::Block block = loadBlock<P>(d, at);
        const uint64_t ats = bitsOf<P>(block, kStoredAt);
        const uint64_t pairEnds =
            bitsOf<P>(block, kStoredEquals) & (ats << 1 | carriedAt) & bitsFrom(at, d.begin + 2);
        if (pairEnds != 0)
            return at + lowestBit(pairEnds) - 1;
        carriedAt = ats >> 63;
    }
    return d.end;
}

// Once the block is decoded: where 0xF5 '@' '=' stand, a line break stored
// plain before a stored marker was complemented; the two bytes before the
// "@=" become CR LF again. Bytes before `start` are as stored, so the first
// marker is repaired after a head byte 0xF5. A repair writes only bytes
// before its '@', none another repair looks at, and none before the data.
template <class P> void repairBlock(uint8_t *base, const Blocks &d, Pos at, Pos start) {
    const typename P::Block block = loadBlock<P>(d, at);
    const uint8_t twoBefore = at >= d.begin + 2 ? base[at - 2] : 0;
    const uint8_t oneBefore = at >= d.begin + 1 ? base[at - 1] : 0;
    const uint64_t ats = bitsOf<P>(block, kMarkerAt) << 1 | uint64_t(oneBefore == kMarkerAt);
    const uint64_t lfs = bitsOf<P>(block, kStoredLF) << 2 | uint64_t(oneBefore == kStoredLF) << 1 |
                         uint64_t(twoBefore == kStoredLF);
    const Pos first = start + 1 > d.begin + 3 ? start + 1 : d.begin + 3; // the first '=' repaired
    uint64_t repairs = bitsOf<P>(block, kMarkerEquals) & ats & lfs & bitsFrom(at, first);
    for (; repairs != 0; repairs &= repairs - 1) {
        const Pos equals = at + lowestBit(repairs);
        base[equals - 3] = kCR;
        base[equals - 2] = kLF;
    }
}

// Decodes whole blocks from `at` to `end` while they hold no '=' (no repair,
// no marker): most of a marked file. Returns the first that holds one,
// decoded, not repaired, or `end`. Compared once stored: no register copy.
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

// Decodes the block from `start` on and repairs it; true when it may hold
// an '=' once decoded, and so a marker.
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

// From the whole block `final`, which holds no '=': decodes on to the next
// block that holds one and repairs it, and returns it; or returns the last
// whole block, decoded, when none does.
template <class P> Pos decodeToMarker(uint8_t *base, const Blocks &d, Pos final, Pos start) {
    const Pos wholeEnd = d.end / kBlock * kBlock;
    const Pos next = decodeQuiet<P>(base, final + kBlock, wholeEnd);
    if (next == wholeEnd)
        return next - kBlock;
    repairBlock<P>(base, d, next, start);
    return next;
}

// Decodes a marked file and builds its table in one pass. Every byte before
// the block `final` is final: that block is decoded and repaired, and only
// its own and the next block's repairs may rewrite its bytes, so it is
// walked once the next one is decoded. While no marker line is open, blocks
// without '=' are only decoded.
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
    if (base[d.end - 2] == kStoredCR && base[d.end - 1] == kStoredLF) { // stored plain
        base[d.end - 2] = kCR;
        base[d.end - 1] = kLF;
    }
    return walk.finish(room && walk.blocks(final, d.end + 2));
}

} // namespace
} // namespace vellomar

#endif
