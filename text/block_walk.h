// The line table build and the marked-file decoding, 64 bytes at a time,
// written once over a processor's primitives P (docs/design.md): a type
// P::Block of 64 bytes; load, store, equal, either, complement, any, bits.
// Each file that defines a P includes this once its instruction set is on;
// internal linkage keeps that copy, buildTable<P> and decodeAndBuild<P>, there.
#ifndef VELLOMAR_TEXT_BLOCK_WALK_H
#define VELLOMAR_TEXT_BLOCK_WALK_H

#include "text/kernels.h"
#include "text/text.h"

namespace vellomar {
namespace {

// Blocks lie on 64-byte aligned addresses, so that no load or store crosses
// a cache line. A block's position is that of its first byte in the data;
// the first may start before the data and the last end past it: those are
// read through a copy with zeros, none of the format's bytes, outside it.
constexpr int kBlock = 64;
using Pos = int64_t;
Pos firstBlock(const uint8_t *data) { return -Pos(reinterpret_cast<uintptr_t>(data) % kBlock); }
bool isWhole(Pos at, uint32_t length) { return at >= 0 && at + kBlock <= length; }
Pos endInData(Pos at, uint32_t length) { return at + kBlock < length ? at + kBlock : length; }

template <class P> typename P::Block loadBlock(const uint8_t *data, uint32_t length, Pos at) {
    if (isWhole(at, length))
        return P::load(data + at);
    alignas(kBlock) uint8_t copy[kBlock] = {};
    for (Pos i = at < 0 ? 0 : at; i < endInData(at, length); ++i) // one bound: a memcpy
        copy[i - at] = data[i];
    return P::load(copy);
}

template <class P> uint64_t bitsOf(const typename P::Block &block, uint8_t byte) {
    return P::bits(P::equal(block, byte));
}
uint64_t bitsFrom(Pos from) { // a block's bits from its position `from` on
    return from <= 0 ? ~uint64_t(0) : from >= kBlock ? 0 : ~uint64_t(0) << from;
}

uint32_t lowestBit(uint64_t bits) { // in halves, or a 32-bit build calls a helper
    const uint32_t low = static_cast<uint32_t>(bits), high = static_cast<uint32_t>(bits >> 32);
    return static_cast<uint32_t>(low != 0 ? __builtin_ctz(low) : 32 + __builtin_ctz(high));
}

// Passes over whole blocks from `at` to `end`, two at a time, while they
// hold no `rare` byte; returns the first that may. (Pointers: no 64-bit sums.)
template <class P> Pos skipQuiet(const uint8_t *data, Pos at, Pos end, uint8_t rare) {
    const uint8_t *p = data + at, *const stop = data + end;
    while (stop - p >= 2 * kBlock && !P::any(P::either(P::equal(P::load(p), rare),
                                                       P::equal(P::load(p + kBlock), rare))))
        p += 2 * kBlock;
    if (stop - p >= kBlock && !P::any(P::equal(P::load(p), rare)))
        p += kBlock;
    return p - data;
}

// The walk. A break counts two bytes past its LF, where a marker's '=' would
// stand and it is known whether one follows. A break and its marker may
// start three bytes before a block: the bits of the block before are carried.
template <class P> class Walk {
public:
    Walk(uint16_t *table, TableMode mode, const uint8_t *data, uint32_t length)
        : out_(table, mode), data_(data), length_(length), record_(mode == TableMode::record),
          next_(firstBlock(data)) {}
    // Whether a block without '=' (record mode) or CR (plain mode) may close
    // an entry: an open marker line at any break, or a carried CR.
    bool mayClose() const { return record_ ? pending_ : (last_.cr >> 61) != 0; }

    // Walks the blocks from `at` up to `until`, passing over those that
    // cannot close an entry; false when the table is full.
    bool blocks(Pos at, Pos until) {
        for (; at < until; at += kBlock) {
            if (isWhole(at, length_) && !mayClose())
                at = skipQuiet<P>(data_, at, until < length_ ? until : length_,
                                  record_ ? kMarkerEquals : kCR);
            if (at < until && !block(at))
                return false;
        }
        return true;
    }

    // Closes the entries of the block at `at`; false when the table is full.
    // Blocks passed over before it closed none: their last one's bits carry.
    bool block(Pos at) {
        if (at != next_)
            last_ = masksOf(loadBlock<P>(data_, length_, at - kBlock));
        next_ = at + kBlock;
        const typename P::Block b = loadBlock<P>(data_, length_, at);
        const Masks now = masksOf(b);
        uint64_t breaks = (now.cr << 3 | last_.cr >> 61) & (now.lf << 2 | last_.lf >> 62);
        uint64_t markers = breaks;
        if (record_)
            markers &= (now.at << 1 | last_.at >> 63) & bitsOf<P>(b, kMarkerEquals);
        last_ = now;
        for (uint64_t closing; (closing = pending_ ? breaks : markers) != 0;) {
            const uint32_t bit = lowestBit(closing), next = static_cast<uint32_t>(at + bit - 1);
            if (!out_.close(next - entryStart_))
                return false;
            entryStart_ = next;
            pending_ = record_ && (markers >> bit & 1) != 0;
            breaks &= ~(closing ^ (closing - 1)); // the bits up to this one
            markers &= ~(closing ^ (closing - 1));
        }
        return true;
    }

    // The entry count. While the table has room, a line break closes the
    // last entry as though it followed the data.
    uint32_t finish(bool room) {
        if (room)
            out_.close(length_ + 2 - entryStart_);
        return out_.finish();
    }

private:
    struct Masks { uint64_t cr, lf, at; }; // a block's CRs, LFs and, in record mode, '@'s
    Masks masksOf(const typename P::Block &b) const {
        return {bitsOf<P>(b, kCR), bitsOf<P>(b, kLF), record_ ? bitsOf<P>(b, kMarkerAt) : 0};
    }

    TableWriter out_;
    const uint8_t *data_;
    uint32_t length_, entryStart_ = 0;
    bool record_, pending_ = false; // pending: the current entry is a marker line
    Pos next_;                      // the block after the last one walked
    Masks last_ = {0, 0, 0};        // of the block before the next one
};

template <class P>
uint32_t buildTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode) {
    if (length == 0) // one entry of 3, as the reference has it
        return buildLineTableScalar(data, length, table, mode);
    Walk<P> walk(table, mode, data, length); // breaks count up to two bytes past the end
    return walk.finish(walk.blocks(firstBlock(data), Pos(length) + 2));
}

// Where the stored pair 0xBF 0xC2 first starts, from 1 on; else length.
template <class P> uint32_t findScrambledStart(const uint8_t *data, uint32_t length) {
    uint64_t carriedAt = 0;
    for (Pos at = firstBlock(data); at < length; at += kBlock) {
        const typename P::Block block = loadBlock<P>(data, length, at);
        const uint64_t ats = bitsOf<P>(block, kStoredAt);
        const uint64_t pairEnds =
            bitsOf<P>(block, kStoredEquals) & (ats << 1 | carriedAt) & bitsFrom(2 - at);
        if (pairEnds != 0)
            return static_cast<uint32_t>(at + lowestBit(pairEnds) - 1);
        carriedAt = ats >> 63;
    }
    return length;
}

// Once the block is decoded: where 0xF5 '@' '=' stand, a line break stored
// plain before a stored marker was complemented; the two bytes before the
// "@=" become CR LF again. Bytes before `start` are as stored, so the first
// marker is repaired after a head byte 0xF5. A repair writes only bytes
// before its '@', none another repair looks at, and none before the data.
template <class P> void repairBlock(uint8_t *data, uint32_t length, Pos at, uint32_t start) {
    const typename P::Block block = loadBlock<P>(data, length, at);
    const uint8_t twoBefore = at >= 2 ? data[at - 2] : 0, oneBefore = at >= 1 ? data[at - 1] : 0;
    const uint64_t ats = bitsOf<P>(block, kMarkerAt) << 1 | uint64_t(oneBefore == kMarkerAt);
    const uint64_t lfs = bitsOf<P>(block, kStoredLF) << 2 | uint64_t(oneBefore == kStoredLF) << 1 |
                         uint64_t(twoBefore == kStoredLF);
    uint64_t repairs = bitsOf<P>(block, kMarkerEquals) & ats & lfs &
                       bitsFrom((start + 1 > 3 ? start + 1 : 3) - at);
    for (; repairs != 0; repairs &= repairs - 1) {
        const Pos equals = at + lowestBit(repairs);
        data[equals - 3] = kCR, data[equals - 2] = kLF;
    }
}

// Decodes whole blocks from `at` to `end` while they hold no '=' (no repair,
// no marker): most of a marked file. Returns the first that holds one,
// decoded, not repaired, or `end`. Compared once stored: no register copy.
template <class P> Pos decodeQuiet(uint8_t *data, Pos at, Pos end) {
    uint8_t *p = data + at;
    for (; p < data + end; p += kBlock) {
        const typename P::Block decoded = P::complement(P::load(p));
        P::store(p, decoded);
        if (P::any(P::equal(decoded, kMarkerEquals)))
            break;
    }
    return p - data;
}

// Decodes the block from `start` on and repairs it; true when it may hold
// an '=' once decoded, and so a marker.
template <class P> bool decodeBlock(uint8_t *data, uint32_t length, Pos at, uint32_t start) {
    if (isWhole(at, length) && at >= start) {
        if (decodeQuiet<P>(data, at, at + kBlock) != at)
            return false;
    } else {
        for (Pos i = at < start ? start : at; i < endInData(at, length); ++i)
            data[i] = stored(data[i]);
    }
    repairBlock<P>(data, length, at, start);
    return true;
}

// Decodes a marked file and builds its table in one pass. A block is walked
// once the block after it is decoded, whose repairs may rewrite its last
// bytes; while no marker line is open, blocks without '=' are only decoded.
template <class P> uint32_t decodeAndBuild(uint8_t *data, uint32_t length, uint16_t *table) {
    const uint32_t start = findScrambledStart<P>(data, length);
    if (start >= length)
        return buildTable<P>(data, length, table, TableMode::record);
    Walk<P> walk(table, TableMode::record, data, length);
    const Pos first = firstBlock(data), wholeEnd = first + (length - first) / kBlock * kBlock;
    Pos at = first + (start - first) / kBlock * kBlock; // decoded, repaired, walked next
    bool busy = decodeBlock<P>(data, length, at, start); // it may hold an '='
    bool room = walk.blocks(first, at);
    while (room) {
        if (!busy && !walk.mayClose()) { // decode on to the next block with an '='
            const Pos next = decodeQuiet<P>(data, at + kBlock, wholeEnd);
            at = next - kBlock; // the last block passed over
            if (next == wholeEnd)
                break;
            repairBlock<P>(data, length, at = next, start);
        }
        if (at + 2 * kBlock > length)
            break;
        busy = decodeBlock<P>(data, length, at + kBlock, start);
        room = walk.block(at);
        at += kBlock;
    }
    for (Pos rest = at + kBlock; rest < length; rest += kBlock)
        decodeBlock<P>(data, length, rest, start);
    if (data[length - 2] == kStoredCR && data[length - 1] == kStoredLF) // last break stored plain
        data[length - 2] = kCR, data[length - 1] = kLF;
    return walk.finish(room && walk.blocks(at, Pos(length) + 2));
}

} // namespace
} // namespace vellomar

#endif
