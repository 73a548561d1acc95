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

// A repair's '=' past start + 1 has its '@' in the scrambled part; the one
// at start + 1 follows a head byte, and is made before the decoding starts.
void decodeBytes(uint8_t *data, uint32_t at, uint32_t to, uint32_t start) {
    for (; at < to; ++at) {
        data[at] = static_cast<uint8_t>(~data[at]);
        if (at > start + 1 && data[at] == '=' && data[at - 1] == '@' &&
            data[at - 2] == kStoredLF) {
            data[at - 3] = kCR;
            data[at - 2] = kLF;
        }
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
