#include "text/kernel_tails.h"

namespace vellomar {

bool walkTail(const uint8_t *data, uint32_t length, bool record, TableWriter &out,
              WalkState &state, uint32_t until) {
    const uint32_t breakStarts = length == 0 ? 0 : length - 1;
    const uint32_t last = until < breakStarts ? until : breakStarts;
    uint32_t at = state.at;
    for (;;) {
        const uint8_t *p = data + at;
        while (p < data + last && *p != kCR)
            ++p;
        at = static_cast<uint32_t>(p - data);
        if (at >= last)
            break;
        if (data[at + 1] != kLF) {
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

namespace {

// The repair whose '=' may be at `at`, once the bytes up to it are decoded.
// A repair's '=' past start + 1 has its '@' in the scrambled part; the one
// at start + 1 follows a head byte, and is made before the decoding starts.
inline void repairAt(uint8_t *data, uint32_t at, uint32_t start) {
    if (data[at] == '=' && at > start + 1 && data[at - 1] == '@' && data[at - 2] == kStoredLF) {
        data[at - 3] = kCR;
        data[at - 2] = kLF;
    }
}

// A machine word of bytes, so that the decoding goes a word at a time. A
// repair writes only bytes already decoded, and never one that another
// repair looks at: a word's repairs may wait until the whole word is.
using Word = uintptr_t;
constexpr Word kOnes = ~Word(0) / 0xFF; // 0x01 in every byte

bool holdsEquals(Word decoded) {
    const Word x = decoded ^ (kOnes * '=');
    return ((x - kOnes) & ~x & (kOnes * 0x80)) != 0;
}

} // namespace

void decodeBytes(uint8_t *data, uint32_t at, uint32_t to, uint32_t start) {
    for (; at < to && to - at >= sizeof(Word); at += sizeof(Word)) {
        Word word;
        __builtin_memcpy(&word, data + at, sizeof word);
        word = ~word;
        __builtin_memcpy(data + at, &word, sizeof word);
        if (holdsEquals(word))
            for (uint32_t i = at; i < at + sizeof(Word); ++i)
                repairAt(data, i, start);
    }
    for (; at < to; ++at) {
        data[at] = static_cast<uint8_t>(~data[at]);
        repairAt(data, at, start);
    }
}

void decodeTail(uint8_t *data, uint32_t at, uint32_t length, uint32_t start) {
    decodeBytes(data, at, length, start);
    if (data[length - 2] == kStoredCR && data[length - 1] == kStoredLF) {
        data[length - 2] = kCR;
        data[length - 1] = kLF;
    }
}

} // namespace vellomar
