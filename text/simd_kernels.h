// The block-at-a-time line table build and marked-file decoding, written
// once over a vector policy V and instantiated by kernels_sse2.cpp and
// kernels_avx2.cpp, each compiled for its own instruction set. Everything
// here has internal linkage, so no function compiled for AVX2 can stand in
// for one that a processor without it runs.
//
// V provides, for a block of V::kWidth positions starting at p:
//   Mask breaks(p)      bit i: p[i], p[i+1] are CR LF          (reads p[0..W])
//   Mask markers(p)     bit i: p[i..i+3] are CR LF '@' '='     (reads p[0..W+2])
//   Mask pairs(p)       bit i: p[i], p[i+1] are 0xBF 0xC2      (reads p[0..W])
//   bool complement(p)  stores ~p[0..W); true when some stored p[i] is 0xC2,
//                       '=' once decoded                        (reads p[0..W))
//   Mask repairs(p)     over decoded bytes, bit i: p[i-2..i] are 0xF5 '@' '='
//                                                                (reads p[-2..W))
//   bool noCRs(p)       true when no p[i], i < 2W, is CR       (reads p[0..2W))
//   bool noEquals(p)    true when no p[i], 3 <= i < 2W + 3, is '=', false
//                       now and then when one is, just past   (reads p[0..2W+kVector))
//   uint32_t lowest(m)  the index of m's lowest set bit (m nonzero)
// and V::kVector, the size of its vectors: a load or store of one at an
// address it divides never crosses a cache line.
#ifndef VELLOMAR_TEXT_SIMD_KERNELS_H
#define VELLOMAR_TEXT_SIMD_KERNELS_H

#include <stdint.h>

#include "text/kernel_tails.h"
#include "text/kernels.h"
#include "text/line_table.h"
#include "text/table_writer.h"

namespace vellomar {
namespace {

// How far ahead of a pass its data is asked for. The pass is bound by memory,
// and the processor's own prefetching, which only sees the loads the loop
// has already made, keeps too few lines on their way to match a bare loop
// over the same buffer; asked for this early, every line is in the cache by
// the time the pass reaches it. A prefetch never faults; one past the data's
// end only fetches a line nobody reads, a few dozen at the end of a pass
// over a file that is long enough to ask for them (asksAhead).
// 4 KiB measured best here, between 2 and 8 KiB.
constexpr uintptr_t kPrefetchDistance = 4096;

// Asks for the `lines` cache lines that start kPrefetchDistance after p.
template <uint32_t lines> VELLOMAR_ALWAYS_INLINE inline void prefetchAhead(const uint8_t *p) {
    const uintptr_t ahead = reinterpret_cast<uintptr_t>(p) + kPrefetchDistance;
    for (uint32_t line = 0; line < lines; ++line)
        __builtin_prefetch(reinterpret_cast<const void *>(ahead + 64 * line));
}

// Whether a pass over the data up to `end` asks for it ahead
// (kernels.h says when it does).
VELLOMAR_ALWAYS_INLINE inline bool asksAhead(uint32_t end) {
    return end > (kPrefetchFrom | prefetchWithheld.load(std::memory_order_relaxed));
}

// The first position from `start` on where a vector's loads and stores
// are aligned. The decoding's blocks start there: on the Intel Xeon measured,
// blocks that each stored across a cache line made a fused pass over a file
// in the cache a quarter slower than a bare complement.
template <class V> uint32_t alignedFrom(const uint8_t *data, uint32_t start) {
    const uint32_t misalignment =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data + start)) & (V::kVector - 1);
    return misalignment == 0 ? start : start + (V::kVector - misalignment);
}

// The index of the lowest set bit of a nonzero 64-bit mask, in two 32-bit
// halves where the processor has no 64-bit scan: the 32-bit build would
// otherwise call a library helper for it.
VELLOMAR_ALWAYS_INLINE inline uint32_t lowestBit(uint64_t m) {
#if defined(__x86_64__)
    return static_cast<uint32_t>(__builtin_ctzll(m));
#else
    const uint32_t low = static_cast<uint32_t>(m);
    return low != 0 ? static_cast<uint32_t>(__builtin_ctz(low))
                    : 32 + static_cast<uint32_t>(__builtin_ctz(static_cast<uint32_t>(m >> 32)));
#endif
}

// Bits from `from` up; none when from is past the block.
template <class Mask> Mask bitsFrom(uint32_t from, uint32_t width) {
    return from >= width ? Mask(0) : static_cast<Mask>(~Mask(0) << from);
}

// One record-mode block at `at`: closes the entries that its breaks close,
// from its position `from` on (the ones before are done). False when the
// table is full and the build must finish.
template <class V>
bool walkRecordBlock(const uint8_t *data, uint32_t at, TableWriter &out, uint32_t &entryStart,
                     bool &pending, uint32_t from = 0) {
    using Mask = typename V::Mask;
    constexpr uint32_t W = V::kWidth;
    const Mask markers = V::markers(data + at);
    if (markers == 0 && !pending)
        return true;
    Mask breaks = 0;
    bool haveBreaks = false;
    for (;;) {
        Mask candidates;
        if (pending) {
            if (!haveBreaks) {
                breaks = V::breaks(data + at);
                haveBreaks = true;
            }
            candidates = static_cast<Mask>(breaks & bitsFrom<Mask>(from, W));
        } else {
            candidates = static_cast<Mask>(markers & bitsFrom<Mask>(from, W));
        }
        if (candidates == 0)
            return true;
        const uint32_t bit = V::lowest(candidates);
        const uint32_t next = at + bit + 2;
        if (!out.close(next - entryStart))
            return false;
        entryStart = next;
        pending = ((markers >> bit) & 1) != 0;
        from = bit + 2;
    }
}

// Closes the entries that `breaks`, the breaks of the block at `at`, close in
// plain mode. False when the table is full and the build must finish.
template <class V>
VELLOMAR_ALWAYS_INLINE inline bool closeBreaks(typename V::Mask breaks, uint32_t at,
                                               TableWriter &out, uint32_t &entryStart) {
    using Mask = typename V::Mask;
    while (breaks != 0) {
        const uint32_t next = at + V::lowest(breaks) + 2;
        breaks = static_cast<Mask>(breaks & (breaks - 1));
        if (!out.close(next - entryStart))
            return false;
        entryStart = next;
    }
    return true;
}

// Plain mode: walks the block at `at`, whose breaks are `breaks`, and the
// blocks after it up to `last` while they hold a break; stops at the first
// that holds none. Out of line, so that the loop over the quiet blocks keeps
// its position in a register: with this inlined, the 32-bit build kept it on
// the stack and passed over a 64 KiB file at half the speed. False when the
// table is full. It asks for no data ahead: a plain table holds at most
// 16 384 entries, so these blocks are at most 1 MiB of any file.
template <class V>
__attribute__((noinline)) bool walkBusyBlocks(const uint8_t *data, uint32_t &at, uint32_t last,
                                              typename V::Mask breaks, TableWriter &out,
                                              WalkState &state) {
    uint32_t entryStart = state.entryStart;
    bool room;
    do {
        room = closeBreaks<V>(breaks, at, out, entryStart);
        at += V::kWidth;
        if (!room || at > last)
            break;
        breaks = V::breaks(data + at);
    } while (breaks != 0);
    state.entryStart = entryStart;
    return room;
}

// Record mode, while no marker line is open: passes over the pairs of blocks
// from `at` on that hold no '=', up to `last`; returns the first that may.
template <class V>
VELLOMAR_ALWAYS_INLINE inline uint32_t skipQuietPairs(const uint8_t *data, uint32_t at,
                                                      uint32_t last, bool ahead) {
    for (; at <= last; at += 2 * V::kWidth) {
        if (ahead)
            prefetchAhead<2 * V::kWidth / 64>(data + at);
        if (!V::noEquals(data + at))
            break;
    }
    return at;
}

// Walks whole blocks while every byte a block reads lies below `end`, so the
// bytes from `end` on may still change (the fused kernel decodes them later).
// A break in a block's last position leaves its LF to the next block, where
// it cannot start a break or a marker. False when the table is full and the
// build must finish. (In a file long enough for them these loops ask for
// data ahead even past the data's end: one copy of them keeps the Windows
// DLL small, and a build only reads.)
template <class V>
bool walkBlocks(const uint8_t *data, uint32_t end, bool record, TableWriter &out,
                WalkState &state) {
    constexpr uint32_t W = V::kWidth;
    const bool ahead = asksAhead(end);
    uint32_t at = state.at;
    if (!record) {
        // Every break closes an entry; in most text most blocks hold none,
        // and two blocks at a time are tested for a CR: per block, the
        // loop's own steps then cost less than its compares, and it keeps up
        // with a bare read pass over a file in the cache.
        if (end >= W + 1) {
            const uint32_t last = end - (W + 1);
            while (at <= last) {
                if (ahead)
                    prefetchAhead<2 * W / 64>(data + at);
                if (at + W <= last && V::noCRs(data + at)) {
                    at += 2 * W;
                    continue;
                }
                const typename V::Mask breaks = V::breaks(data + at);
                if (breaks == 0)
                    at += W;
                else if (!walkBusyBlocks<V>(data, at, last, breaks, out, state))
                    return false;
            }
        }
        state.at = at;
        return true;
    }
    uint32_t entryStart = state.entryStart;
    // Record mode: while no marker line is open only breaks followed by "@="
    // matter, and most blocks have none.
    bool pending = state.markerPending;
    const uint32_t quietLast = end >= 2 * W + V::kVector ? end - (2 * W + V::kVector) : 0;
    while (end >= W + 3 && at <= end - (W + 3)) {
        if (!pending && end >= 2 * W + V::kVector) {
            at = skipQuietPairs<V>(data, at, quietLast, ahead);
            if (at > end - (W + 3))
                break;
        }
        if (ahead)
            prefetchAhead<2 * W / 64>(data + at);
        if (!walkRecordBlock<V>(data, at, out, entryStart, pending))
            return false;
        at += W;
    }
    state.at = at;
    state.entryStart = entryStart;
    state.markerPending = pending;
    return true;
}

// Walks the block at `at` from its position `from` on.
template <class V>
bool walkBlockFrom(const uint8_t *data, uint32_t at, uint32_t from, bool record, TableWriter &out,
                   WalkState &state) {
    if (record)
        return walkRecordBlock<V>(data, at, out, state.entryStart, state.markerPending, from);
    using Mask = typename V::Mask;
    return closeBreaks<V>(static_cast<Mask>(V::breaks(data + at) & bitsFrom<Mask>(from, V::kWidth)),
                          at, out, state.entryStart);
}

// The end of the walk, once walkBlocks has left fewer positions than its
// blocks need: one block more, laid over the data's end so that its reads
// end there, with the positions already walked masked off; then the last two,
// where a marker no longer fits, byte by byte. On small files these last
// positions are a good part of the work.
template <class V>
bool walkEnd(const uint8_t *data, uint32_t length, bool record, TableWriter &out,
             WalkState &state) {
    constexpr uint32_t W = V::kWidth;
    const uint32_t reach = record ? W + 3 : W + 1;
    if (length >= reach && state.at < length - reach + W) {
        const uint32_t at = length - reach;
        // walkBlocks stopped past `at`
        if (!walkBlockFrom<V>(data, at, state.at - at, record, out, state))
            return false;
        state.at = at + W;
    }
    return walkTail(data, length, record, out, state);
}

// The start of a build's walk where the data is not aligned for the vectors'
// loads: the block at 0, then the one at the first aligned position, from
// where the first left off. The blocks after it are aligned too.
template <class V>
bool walkStart(const uint8_t *data, uint32_t length, bool record, TableWriter &out,
               WalkState &state) {
    constexpr uint32_t W = V::kWidth;
    const uint32_t first = alignedFrom<V>(data, 0);
    if (first == 0 || length < first + (record ? W + 3 : W + 1))
        return true;
    if (!walkBlockFrom<V>(data, 0, 0, record, out, state) ||
        !walkBlockFrom<V>(data, first, W - first, record, out, state))
        return false;
    state.at = first + W;
    return true;
}

template <class V>
uint32_t buildTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode) {
    TableWriter out(table, mode);
    if (length == 0) {
        out.close(3);
        return out.finish();
    }
    const bool record = mode == TableMode::record;
    WalkState state;
    if (!walkStart<V>(data, length, record, out, state) ||
        !walkBlocks<V>(data, length, record, out, state) ||
        !walkEnd<V>(data, length, record, out, state))
        return out.finish();
    out.close(length - state.entryStart + 2);
    return out.finish();
}

// The first position from 1 on where the stored pair 0xBF 0xC2 starts, both
// bytes within the data; length when there is none.
template <class V> uint32_t findScrambledStart(const uint8_t *data, uint32_t length) {
    constexpr uint32_t W = V::kWidth;
    uint32_t at = 1;
    while (length >= W + 1 && at <= length - (W + 1)) {
        const typename V::Mask pairs = V::pairs(data + at);
        if (pairs != 0)
            return at + V::lowest(pairs);
        at += W;
    }
    for (; at + 1 < length; ++at)
        if (data[at] == kStoredAt && data[at + 1] == kStoredEquals)
            return at;
    return length;
}

// The repair at the first stored marker, whose preceding byte is a head
// byte and so is looked at as stored. Every later repair is found in the
// decoded bytes: 0xF5 '@' '=', where the 0xF5 is a stored 0x0A and the
// "@=" a stored marker. Each block makes the repairs whose '=' it holds, right
// after it is stored: they write only bytes that are already decoded, at
// most three before the block, and never a byte another repair looks at
// (the '@' and '=' of a stored marker are never 0xF5, and a repair's CR
// falls on an '=' only when that '=' has been looked at already).
void repairBeforeStart(uint8_t *data, uint32_t start) {
    if (start >= 2 && data[start - 1] == kStoredLF) {
        data[start - 2] = kCR;
        data[start - 1] = kLF;
    }
}

// The repairs of the block at `at`, once it is decoded. The first block of
// all may start at byte 1, before which there is only one byte to look at;
// its first '=' cannot come before its third byte, since the block begins
// with the first stored "@=" and a byte before that is no decoded 0xF5.
template <class V> __attribute__((noinline)) void repairBlock(uint8_t *data, uint32_t at) {
    using Mask = typename V::Mask;
    Mask repairs = 0;
    if (at >= 2) {
        repairs = V::repairs(data + at);
    } else {
        for (uint32_t i = 2; i < V::kWidth; ++i)
            if (data[at + i - 2] == kStoredLF && data[at + i - 1] == '@' && data[at + i] == '=')
                repairs = static_cast<Mask>(repairs | Mask(1) << i);
    }
    while (repairs != 0) {
        const uint32_t equals = at + V::lowest(repairs);
        repairs = static_cast<Mask>(repairs & (repairs - 1));
        data[equals - 3] = kCR;
        data[equals - 2] = kLF;
    }
}

// Decodes the block at `at` and makes its repairs; true when it may hold
// the '=' of a marker. (Few blocks come here: the quiet blocks' loop asks
// for the data ahead.)
template <class V> VELLOMAR_ALWAYS_INLINE inline bool decodeBlock(uint8_t *data, uint32_t at) {
    if (!V::complement(data + at))
        return false;
    repairBlock<V>(data, at);
    return true;
}

// Decodes the blocks from `at` on that hold no '=' once decoded, and so no
// repair and no marker: the decoding's whole loop, most of the time.
// Returns the first block that holds one, decoded but not yet repaired, or
// the first position past `stop` on the blocks' grid. (In a file long enough
// for it the loop asks for data ahead even past the data's end, as the
// builds do: one copy of it keeps the Windows DLL small.)
template <class V>
VELLOMAR_ALWAYS_INLINE inline uint32_t decodeQuiet(uint8_t *data, uint32_t at, uint32_t stop,
                                                   uint32_t length) {
    constexpr uint32_t W = V::kWidth;
    const bool ahead = asksAhead(length);
    for (; at < stop; at += W) {
        if (ahead)
            prefetchAhead<W / 64>(data + at);
        if (V::complement(data + at))
            break;
    }
    return at;
}

// Decodes whole blocks from `at` while each block's reads lie within the
// data; returns where it stopped.
template <class V>
uint32_t decodeBlocks(uint8_t *data, uint32_t at, uint32_t stop, uint32_t length) {
    for (;;) {
        at = decodeQuiet<V>(data, at, stop, length);
        if (at >= stop)
            return at;
        repairBlock<V>(data, at);
        at += V::kWidth;
    }
}

// The end of the block loop's range: blocks start below it so that their
// reads stay within the data. (A block reads W bytes; the margin keeps the
// walk's reads, three bytes into the next block, within the data too.)
template <class V> uint32_t blockStop(uint32_t at, uint32_t length) {
    constexpr uint32_t W = V::kWidth;
    if (length < W + 2 || at > length - (W + 2))
        return at;
    return at + (length - (W + 2) - at) / W * W + 1;
}

template <class V> void decode(uint8_t *data, uint32_t length) {
    const uint32_t start = findScrambledStart<V>(data, length);
    if (start >= length)
        return;
    repairBeforeStart(data, start);
    const uint32_t first = alignedFrom<V>(data, start);
    const uint32_t stop = blockStop<V>(first, length);
    if (first >= stop) {
        decodeTail(data, start, length, start);
        return;
    }
    decodeBytes(data, start, first, start);
    decodeTail(data, decodeBlocks<V>(data, first, stop, length), length, start);
}

// Decodes a block, then walks the block before it, which has just become
// final together with the three bytes after it that its markers reach into:
// the data is read from memory once and written once. Most blocks hold no
// '=' once decoded; while the block before holds none either and no marker
// line is open, nothing is walked, and the loop is the decoding's alone.
template <class V> uint32_t decodeAndBuild(uint8_t *data, uint32_t length, uint16_t *table) {
    constexpr uint32_t W = V::kWidth;
    const uint32_t start = findScrambledStart<V>(data, length);
    if (start >= length)
        return buildTable<V>(data, length, table, TableMode::record);
    repairBeforeStart(data, start);
    TableWriter out(table, TableMode::record);
    WalkState state;
    const uint32_t first = alignedFrom<V>(data, start);
    const uint32_t stop = blockStop<V>(first, length);
    uint32_t done = start;
    if (first < stop) {
        decodeBytes(data, start, first, start);
        bool previousEquals = decodeBlock<V>(data, first);
        done = first + W;
        // The head and the bytes decoded one at a time are final, and so are
        // the decoded bytes that their last markers reach into: walk them up
        // to the first block, so that the walk then keeps to the blocks' grid.
        if (!walkBlocks<V>(data, first + 3, true, out, state) ||
            !walkTail(data, length, true, out, state, first)) {
            const uint32_t result = out.finish();
            decodeTail(data, decodeBlocks<V>(data, done, stop, length), length, start);
            return result;
        }
        while (done < stop) {
            bool equals = true;
            if (!previousEquals && !state.markerPending) {
                done = decodeQuiet<V>(data, done, stop, length);
                if (done >= stop)
                    break;
                repairBlock<V>(data, done);
            } else {
                equals = decodeBlock<V>(data, done);
            }
            if (!walkRecordBlock<V>(data, done - W, out, state.entryStart, state.markerPending)) {
                const uint32_t result = out.finish();
                decodeTail(data, decodeBlocks<V>(data, done + W, stop, length), length, start);
                return result;
            }
            previousEquals = equals;
            done += W;
        }
        state.at = done - W; // the last block decoded, not yet walked
    }
    decodeTail(data, done, length, start);
    if (!walkBlocks<V>(data, length, true, out, state) || !walkEnd<V>(data, length, true, out, state))
        return out.finish();
    out.close(length - state.entryStart + 2);
    return out.finish();
}

} // namespace
} // namespace vellomar

#endif
