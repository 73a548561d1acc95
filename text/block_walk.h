// The line table build and the marked-file decoding, 64 bytes at a time,
// written once over a processor's primitives P (simd_*.cpp):
//   P::Block                     64 bytes in the processor's vectors
//   P::load(p), P::store(p, b)   p is 64-byte aligned
//   P::equal(b, byte)            each byte: all ones where it is `byte`
//   P::either(a, b), P::complement(b)
//   P::any(b)                    true when some byte of b is nonzero
//   P::bits(b)                   bit i: the top bit of byte i
// Each file that defines a P includes this header once, after switching its
// instruction set on; everything here has internal linkage, so that no
// function compiled for one processor is ever called on another.
#ifndef VELLOMAR_TEXT_BLOCK_WALK_H
#define VELLOMAR_TEXT_BLOCK_WALK_H

#include <stdint.h>

#include "text/format.h"
#include "text/table_writer.h"

namespace vellomar {
namespace {

// Blocks lie on the grid of 64-byte aligned addresses, so that no load or
// store crosses a cache line. A block's position is its first byte's offset
// from the data: the first block may start before the data and the last may
// end past it; those are read through a copy with zeros outside the data,
// and zero is none of the bytes the format looks for.
constexpr uint32_t kBlock = 64;
using Pos = int64_t;

Pos firstBlock(const uint8_t *data) {
    return -static_cast<Pos>(reinterpret_cast<uintptr_t>(data) & (kBlock - 1));
}

bool isWhole(Pos at, uint32_t length) { return at >= 0 && at + kBlock <= length; }

template <class P> typename P::Block loadPadded(const uint8_t *data, uint32_t length, Pos at) {
    alignas(kBlock) uint8_t copy[kBlock] = {};
    for (Pos i = at < 0 ? 0 : at; i < at + kBlock && i < length; ++i)
        copy[i - at] = data[i];
    return P::load(copy);
}

template <class P> typename P::Block loadBlock(const uint8_t *data, uint32_t length, Pos at) {
    return isWhole(at, length) ? P::load(data + at) : loadPadded<P>(data, length, at);
}

template <class P> uint64_t bitsOf(const typename P::Block &block, uint8_t byte) {
    return P::bits(P::equal(block, byte));
}

uint32_t lowestBit(uint64_t bits) {
    if (sizeof(void *) >= 8) // a 32-bit build would call a library helper
        return static_cast<uint32_t>(__builtin_ctzll(bits));
    const uint32_t low = static_cast<uint32_t>(bits);
    return low != 0 ? static_cast<uint32_t>(__builtin_ctz(low))
                    : 32 + static_cast<uint32_t>(__builtin_ctz(static_cast<uint32_t>(bits >> 32)));
}

// The bits of a block's mask from its position `from` on.
uint64_t bitsFrom(Pos from) {
    return from <= 0 ? ~uint64_t(0) : from >= kBlock ? 0 : ~uint64_t(0) << from;
}

// Bit i of a block's masks is set where its byte i is CR, LF, '@', '='.
struct Masks {
    uint64_t cr = 0, lf = 0, at = 0, equals = 0;
};

template <class P> Masks masksOf(const typename P::Block &block, bool record) {
    Masks m;
    m.cr = bitsOf<P>(block, kCR);
    m.lf = bitsOf<P>(block, kLF);
    if (record) {
        m.at = bitsOf<P>(block, kMarkerAt);
        m.equals = bitsOf<P>(block, kMarkerEquals);
    }
    return m;
}

// The walk of the line table. A break is counted at the position two bytes
// past its LF, where a marker's '=' stands: there the walk knows whether a
// marker follows it. The masks of the block before are carried, since a
// break and its marker may begin up to three bytes before the block.
class Walk {
public:
    Walk(TableWriter &out, TableMode mode) : out_(out), record_(mode == TableMode::record) {}

    bool record() const { return record_; }

    // Whether a block with no '=' (record mode) or no CR (plain mode) may
    // still close an entry: an open marker line closes at any break, and a
    // CR at the end of the block before may have its LF in this one.
    bool mayClose() const { return record_ ? pending_ : (carried_.cr >> 61) != 0; }

    // The block before `at` was passed over: carry its last three bytes.
    void carryFrom(const uint8_t *data, Pos at) {
        carried_ = Masks();
        for (uint32_t i = 0; i < 3; ++i) {
            const uint8_t byte = data[at - 3 + i];
            const uint64_t bit = uint64_t(1) << (61 + i);
            carried_.cr |= byte == kCR ? bit : 0;
            carried_.lf |= byte == kLF ? bit : 0;
            carried_.at |= byte == kMarkerAt ? bit : 0;
        }
    }

    // Closes the entries that the block at `at` closes. False when the table
    // is full and the build must finish.
    bool block(Pos at, const Masks &m) {
        uint64_t breaks = (m.cr << 3 | carried_.cr >> 61) & (m.lf << 2 | carried_.lf >> 62);
        uint64_t markers = breaks & (m.at << 1 | carried_.at >> 63) & m.equals;
        carried_ = m;
        if (!record_)
            markers = breaks; // every break closes an entry
        for (;;) {
            const uint64_t closing = pending_ ? breaks : markers;
            if (closing == 0)
                return true;
            const uint32_t bit = lowestBit(closing);
            if (!close(static_cast<uint32_t>(at + bit - 1)))
                return false;
            pending_ = record_ && (markers >> bit & 1) != 0;
            const uint64_t upToBit = closing ^ (closing - 1);
            breaks &= ~upToBit;
            markers &= ~upToBit;
        }
    }

    // The last entry counts as though a line break closed it.
    uint32_t finish(uint32_t length) {
        close(length + 2);
        return out_.finish();
    }

private:
    bool close(uint32_t next) {
        const bool room = out_.close(next - entryStart_);
        entryStart_ = next;
        return room;
    }

    TableWriter &out_;
    bool record_;
    bool pending_ = false; // the current entry is a marker line
    uint32_t entryStart_ = 0;
    Masks carried_;
};

// Passes over the whole blocks from `at` that hold no `rare` byte, two at a
// time, up to `end`; returns the first block that may hold one.
template <class P> Pos skipQuiet(const uint8_t *data, Pos at, Pos end, uint8_t rare) {
    while (end - at >= 2 * kBlock &&
           !P::any(P::either(P::equal(P::load(data + at), rare),
                             P::equal(P::load(data + at + kBlock), rare))))
        at += 2 * kBlock;
    if (end - at >= kBlock && !P::any(P::equal(P::load(data + at), rare)))
        at += kBlock;
    return at;
}

// Walks the blocks from `at` to `until`, passing over those that can close
// nothing. False when the table is full.
template <class P>
bool walkBlocks(const uint8_t *data, uint32_t length, Walk &walk, Pos at, Pos until) {
    const uint8_t rare = walk.record() ? kMarkerEquals : kCR;
    const Pos wholeEnd = until < length ? until : length;
    for (; at < until; at += kBlock) {
        if (isWhole(at, length) && !walk.mayClose()) {
            const Pos quietEnd = skipQuiet<P>(data, at, wholeEnd, rare);
            if (quietEnd != at) {
                walk.carryFrom(data, quietEnd);
                at = quietEnd - kBlock;
                continue;
            }
        }
        if (!walk.block(at, masksOf<P>(loadBlock<P>(data, length, at), walk.record())))
            return false;
    }
    return true;
}

template <class P>
uint32_t buildTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode) {
    TableWriter out(table, mode);
    if (length == 0) {
        out.close(3); // an empty file reads as one entry of 3, as it always has
        return out.finish();
    }
    Walk walk(out, mode);
    // Breaks are counted up to two bytes past the data's end.
    if (!walkBlocks<P>(data, length, walk, firstBlock(data), Pos(length) + 2))
        return out.finish();
    return walk.finish(length);
}

// The first position from 1 where the stored pair 0xBF 0xC2 starts, both
// bytes in the data; length when there is none.
template <class P> uint32_t findScrambledStart(const uint8_t *data, uint32_t length) {
    uint64_t carriedAt = 0;
    for (Pos at = firstBlock(data); at < length; at += kBlock) {
        const typename P::Block block = loadBlock<P>(data, length, at);
        const uint64_t ats = bitsOf<P>(block, kStoredAt);
        uint64_t pairEnds = bitsOf<P>(block, kStoredEquals) & (ats << 1 | carriedAt);
        carriedAt = ats >> 63;
        pairEnds &= bitsFrom(2 - at); // the pair starts at 1 or later
        if (pairEnds != 0)
            return static_cast<uint32_t>(at + lowestBit(pairEnds) - 1);
    }
    return length;
}

// Repairs the line breaks stored plain before a stored marker, whose '='
// lies in the block at `at`, once it is decoded: where 0xF5 '@' '=' stand,
// the 0xF5 a complemented LF and the "@=" a stored marker, the two bytes
// before the "@=" become CR LF. Before the scrambled part's `start` the
// bytes are as stored, so the first marker is repaired after a head byte
// 0xF5. A repair writes only bytes before its '@', none that another repair
// looks at, and never a byte before the data.
template <class P> void repairBlock(uint8_t *data, uint32_t length, Pos at, uint32_t start) {
    const typename P::Block block = loadBlock<P>(data, length, at);
    const uint8_t twoBefore = at >= 2 ? data[at - 2] : 0, oneBefore = at >= 1 ? data[at - 1] : 0;
    const uint64_t ats = bitsOf<P>(block, kMarkerAt) << 1 | uint64_t(oneBefore == kMarkerAt);
    const uint64_t lfs = bitsOf<P>(block, kStoredLF) << 2 | uint64_t(oneBefore == kStoredLF) << 1 |
                         uint64_t(twoBefore == kStoredLF);
    const Pos firstEquals = start + 1 > 3 ? start + 1 : 3;
    uint64_t repairs = bitsOf<P>(block, kMarkerEquals) & ats & lfs & bitsFrom(firstEquals - at);
    for (; repairs != 0; repairs &= repairs - 1) {
        const Pos equals = at + lowestBit(repairs);
        data[equals - 3] = kCR;
        data[equals - 2] = kLF;
    }
}

// Decodes the block at `at` from `start` on and makes its repairs. True
// when it may hold an '=' once decoded, and so a marker.
template <class P> bool decodeBlock(uint8_t *data, uint32_t length, Pos at, uint32_t start) {
    if (isWhole(at, length) && at >= start) {
        const typename P::Block block = P::load(data + at);
        P::store(data + at, P::complement(block));
        if (!P::any(P::equal(block, kStoredEquals)))
            return false;
    } else {
        for (Pos i = at < start ? start : at; i < at + kBlock && i < length; ++i)
            data[i] = stored(data[i]);
    }
    repairBlock<P>(data, length, at, start);
    return true;
}

// A final line break stored plain has been complemented with the rest.
void repairFinalBreak(uint8_t *data, uint32_t length) {
    if (data[length - 2] == kStoredCR && data[length - 1] == kStoredLF) {
        data[length - 2] = kCR;
        data[length - 1] = kLF;
    }
}

template <class P> void decodeFrom(uint8_t *data, uint32_t length, Pos at, uint32_t start) {
    for (; at < length; at += kBlock)
        decodeBlock<P>(data, length, at, start);
    repairFinalBreak(data, length);
}

// Decodes the whole blocks from `at` while they hold no '=' once decoded,
// and so no repair and no marker: most of a marked file. Returns the first
// that holds one, decoded but not yet repaired, or `end`.
template <class P> Pos decodeQuiet(uint8_t *data, Pos at, Pos end) {
    for (; at < end; at += kBlock) {
        const typename P::Block block = P::load(data + at);
        P::store(data + at, P::complement(block));
        if (P::any(P::equal(block, kStoredEquals)))
            break;
    }
    return at;
}

// Decodes a marked file and builds its table in one pass: each block is
// walked once the block after it is decoded, since that one's repairs may
// rewrite its last bytes. While no marker line is open, blocks that hold no
// '=' are only decoded.
template <class P> uint32_t decodeAndBuild(uint8_t *data, uint32_t length, uint16_t *table) {
    const uint32_t start = findScrambledStart<P>(data, length);
    if (start >= length)
        return buildTable<P>(data, length, table, TableMode::record);
    TableWriter out(table, TableMode::record);
    Walk walk(out, TableMode::record);
    const Pos first = firstBlock(data), wholeEnd = first + (length - first) / kBlock * kBlock;
    Pos at = first + (start - first) / kBlock * kBlock;
    decodeBlock<P>(data, length, at, start);
    bool room = walkBlocks<P>(data, length, walk, first, at), busy = true, skipped = false;
    while (room) {
        // Block `at` is decoded; `busy` when it may hold a marker.
        if (!busy && !walk.mayClose()) {
            const Pos next = decodeQuiet<P>(data, at + kBlock, wholeEnd);
            skipped = true; // the blocks up to `next` close nothing
            at = next - kBlock;
            if (next == wholeEnd)
                break;
            repairBlock<P>(data, length, next, start);
            at = next;
            busy = true;
            continue;
        }
        if (at + 2 * kBlock > length)
            break;
        const bool nextBusy = decodeBlock<P>(data, length, at + kBlock, start);
        if (skipped)
            walk.carryFrom(data, at);
        room = walk.block(at, masksOf<P>(loadBlock<P>(data, length, at), true));
        skipped = false;
        busy = nextBusy;
        at += kBlock;
    }
    decodeFrom<P>(data, length, at + kBlock, start);
    if (!room)
        return out.finish();
    if (skipped)
        walk.carryFrom(data, at);
    if (!walkBlocks<P>(data, length, walk, at, Pos(length) + 2))
        return out.finish();
    return walk.finish(length);
}

} // namespace
} // namespace vellomar

#endif
