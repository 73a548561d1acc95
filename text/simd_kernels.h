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
//   Decoded<Mask> complement(p)
//                       stores ~p[0..W); repairs bit i: the stored p[i..i+2]
//                       were 0x0A 0xBF 0xC2; equals: false only when no
//                       stored p[i] is 0xC2, '=' once decoded    (reads p[0..W+1])
//   bool noEquals(p)    true when no p[i], i < 2 * W, is '='   (reads p[0..2W))
//   uint32_t lowest(m)  the index of m's lowest set bit (m nonzero)
#ifndef VELLOMAR_TEXT_SIMD_KERNELS_H
#define VELLOMAR_TEXT_SIMD_KERNELS_H

#include <stdint.h>

#include "text/line_table.h"
#include "text/table_writer.h"

namespace vellomar {
namespace {

constexpr uint8_t kCR = 0x0D;
constexpr uint8_t kLF = 0x0A;
constexpr uint8_t kStoredAt = 0xBF;     // '@' complemented
constexpr uint8_t kStoredEquals = 0xC2; // '=' complemented
constexpr uint8_t kStoredCR = 0xF2;
constexpr uint8_t kStoredLF = 0xF5;

// What decoding a block found.
template <class Mask> struct Decoded {
    Mask repairs;
    bool equals;
};

// Where the walk stands: the next position to look at for a line break, the
// current entry's first byte, and whether the current entry is a marker line.
struct WalkState {
    uint32_t at = 0;
    uint32_t entryStart = 0;
    bool markerPending = false;
};

// How far ahead of a pass its data is asked for. The pass is bound by memory,
// and the processor's own prefetching, which only sees the loads the loop
// has already made, keeps too few lines on their way to match a bare loop
// over the same buffer; asked for this early, every line is in the cache by
// the time the pass reaches it. Asking past the data's end is harmless: a
// prefetch never faults, and the address is only computed, never formed
// from the data pointer.
// 4 KiB measured best here, between 2 and 8 KiB.
constexpr uintptr_t kPrefetchDistance = 4096;

// Asks for the `lines` cache lines that start kPrefetchDistance after p.
template <uint32_t lines> VELLOMAR_ALWAYS_INLINE inline void prefetchAhead(const uint8_t *p) {
    const uintptr_t ahead = reinterpret_cast<uintptr_t>(p) + kPrefetchDistance;
    for (uint32_t line = 0; line < lines; ++line)
        __builtin_prefetch(reinterpret_cast<const void *>(ahead + 64 * line));
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

// One record-mode block at `at`: closes the entries that its breaks close.
// False when the table is full and the build must finish.
template <class V>
bool walkRecordBlock(const uint8_t *data, uint32_t at, TableWriter &out, uint32_t &entryStart,
                     bool &pending) {
    using Mask = typename V::Mask;
    constexpr uint32_t W = V::kWidth;
    const Mask markers = V::markers(data + at);
    if (markers == 0 && !pending)
        return true;
    Mask breaks = 0;
    bool haveBreaks = false;
    uint32_t from = 0; // positions before at + from are done
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

// Walks whole blocks while every byte a block reads lies below `end`, so the
// bytes from `end` on may still change (the fused kernel decodes them later).
// A break in a block's last position leaves its LF to the next block, where
// it cannot start a break or a marker. False when the table is full and the
// build must finish.
template <class V>
bool walkBlocks(const uint8_t *data, uint32_t end, bool record, TableWriter &out,
                WalkState &state) {
    using Mask = typename V::Mask;
    constexpr uint32_t W = V::kWidth;
    uint32_t at = state.at;
    uint32_t entryStart = state.entryStart;
    if (!record) {
        // Every break closes an entry.
        while (end >= W + 1 && at <= end - (W + 1)) {
            prefetchAhead<W / 64>(data + at);
            Mask breaks = V::breaks(data + at);
            while (breaks != 0) {
                const uint32_t next = at + V::lowest(breaks) + 2;
                breaks = static_cast<Mask>(breaks & (breaks - 1));
                if (!out.close(next - entryStart))
                    return false;
                entryStart = next;
            }
            at += W;
        }
        state.at = at;
        state.entryStart = entryStart;
        return true;
    }
    // Record mode: while no marker line is open only breaks followed by "@="
    // matter, and most blocks have none.
    bool pending = state.markerPending;
    while (end >= W + 3 && at <= end - (W + 3)) {
        prefetchAhead<2 * W / 64>(data + at);
        if (!pending && end >= 2 * W + 3 && at <= end - (2 * W + 3) && V::noEquals(data + at + 3)) {
            at += 2 * W;
            continue;
        }
        if (!walkRecordBlock<V>(data, at, out, entryStart, pending))
            return false;
        at += W;
    }
    state.at = at;
    state.entryStart = entryStart;
    state.markerPending = pending;
    return true;
}

// The rest of the walk, byte by byte, exactly as the reference does it: the
// positions below `until` (all of them by default).
bool walkTail(const uint8_t *data, uint32_t length, bool record, TableWriter &out,
              WalkState &state, uint32_t until = 0xFFFFFFFFu) {
    uint32_t at = state.at;
    while (at < until && at + 1 < length) {
        if (data[at] != kCR || data[at + 1] != kLF) {
            ++at;
            continue;
        }
        const uint32_t next = at + 2;
        bool closes = true;
        if (record) {
            const bool markerFollows =
                next + 1 < length && data[next] == '@' && data[next + 1] == '=';
            closes = state.markerPending || markerFollows;
            state.markerPending = markerFollows;
        }
        if (closes) {
            if (!out.close(next - state.entryStart))
                return false;
            state.entryStart = next;
        }
        at = next;
    }
    state.at = at;
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
    if (!walkBlocks<V>(data, length, record, out, state) ||
        !walkTail(data, length, record, out, state))
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
// byte and so is looked at as stored. Every later repair is found by the
// blocks: a stored 0x0A (0xF5 once complemented) right before a stored
// 0xBF 0xC2. Repairs never overlap, so each one can be applied as soon as
// its block is stored: it writes only bytes that are already decoded.
void repairBeforeStart(uint8_t *data, uint32_t start) {
    if (start >= 2 && data[start - 1] == kStoredLF) {
        data[start - 2] = kCR;
        data[start - 1] = kLF;
    }
}

// Decodes the block at `at` and applies its repairs; true when it may hold
// an '=' once decoded. Inlined: it is the decoding loops' whole body.
template <class V> inline VELLOMAR_ALWAYS_INLINE bool decodeBlock(uint8_t *data, uint32_t at) {
    prefetchAhead<V::kWidth / 64>(data + at);
    const Decoded<typename V::Mask> decoded = V::complement(data + at);
    typename V::Mask repairs = decoded.repairs;
    while (repairs != 0) {
        const uint32_t lf = at + V::lowest(repairs);
        repairs = static_cast<typename V::Mask>(repairs & (repairs - 1));
        data[lf - 1] = kCR;
        data[lf] = kLF;
    }
    return decoded.equals;
}

// Decodes whole blocks from `at` while each block's reads lie within the
// data; returns where it stopped. Byte at - 1 is final only once the block
// at `at` is done, since its repair may rewrite it.
template <class V> uint32_t decodeBlocks(uint8_t *data, uint32_t at, uint32_t stop) {
    constexpr uint32_t W = V::kWidth;
    for (; at < stop; at += W)
        decodeBlock<V>(data, at);
    return at;
}

// The end of the block loop's range: blocks start below it so that their
// reads (up to W + 1 past the start) stay within the data.
template <class V> uint32_t blockStop(uint32_t at, uint32_t length) {
    constexpr uint32_t W = V::kWidth;
    if (length < W + 2 || at > length - (W + 2))
        return at;
    return at + (length - (W + 2) - at) / W * W + 1;
}

// The last bytes, one at a time, then the final line break stored plain.
void decodeTail(uint8_t *data, uint32_t at, uint32_t length) {
    for (; at < length; ++at) {
        const uint8_t stored = data[at];
        data[at] = static_cast<uint8_t>(~stored);
        if (stored == kLF && at + 2 < length && data[at + 1] == kStoredAt &&
            data[at + 2] == kStoredEquals) {
            data[at - 1] = kCR;
            data[at] = kLF;
        }
    }
    if (data[length - 2] == kStoredCR && data[length - 1] == kStoredLF) {
        data[length - 2] = kCR;
        data[length - 1] = kLF;
    }
}

template <class V> void decode(uint8_t *data, uint32_t length) {
    const uint32_t start = findScrambledStart<V>(data, length);
    if (start >= length)
        return;
    repairBeforeStart(data, start);
    const uint32_t done = decodeBlocks<V>(data, start, blockStop<V>(start, length));
    decodeTail(data, done, length);
}

// Decodes a block, then walks the block before it, which has just become
// final together with the three bytes after it that its markers reach into:
// the data is read from memory once and written once. The walk runs on the
// decoding's blocks, and takes a block's whole mask only when a marker line
// is open or when one of the two blocks could hold a marker's '=' (a stored
// 0xC2), which the decoding has just seen in its registers.
template <class V> uint32_t decodeAndBuild(uint8_t *data, uint32_t length, uint16_t *table) {
    constexpr uint32_t W = V::kWidth;
    const uint32_t start = findScrambledStart<V>(data, length);
    if (start >= length)
        return buildTable<V>(data, length, table, TableMode::record);
    repairBeforeStart(data, start);
    TableWriter out(table, TableMode::record);
    WalkState state;
    bool walking = true;
    uint32_t result = 0;
    const uint32_t stop = blockStop<V>(start, length);
    uint32_t done = start;
    if (start < stop) {
        bool previousEquals = decodeBlock<V>(data, start);
        done = start + W;
        // The head is final, and so are the decoded bytes that its last
        // markers reach into: walk it up to the first decoded block, so that
        // the walk then keeps to the decoding's grid.
        walking = walkBlocks<V>(data, start + 3, true, out, state) &&
                  walkTail(data, length, true, out, state, start);
        if (walking) {
            state.at = start; // at most the LF of a break, never a CR
            for (; done < stop; done += W) {
                const bool equals = decodeBlock<V>(data, done);
                if ((previousEquals || equals || state.markerPending) &&
                    !walkRecordBlock<V>(data, done - W, out, state.entryStart,
                                        state.markerPending)) {
                    result = out.finish();
                    walking = false;
                    done = decodeBlocks<V>(data, done + W, stop);
                    break;
                }
                previousEquals = equals;
                state.at = done;
            }
        } else {
            result = out.finish();
            done = decodeBlocks<V>(data, done, stop);
        }
    }
    decodeTail(data, done, length);
    if (!walking)
        return result;
    if (!walkBlocks<V>(data, length, true, out, state) || !walkTail(data, length, true, out, state))
        return out.finish();
    out.close(length - state.entryStart + 2);
    return out.finish();
}

} // namespace
} // namespace vellomar

#endif
