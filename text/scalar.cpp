// The byte-at-a-time table build and decoding: the reference that every
// kernel set must match, and the kernels of processors without vectors.
#include "text/text.h"

namespace vellomar {

uint32_t buildLineTableScalar(const uint8_t *data, uint32_t length, uint16_t *table,
                              TableMode mode) {
    TableWriter out(table, mode);
    if (length == 0) {
        out.close(3); // an empty file reads as one entry of 3, as it always has
        return out.finish();
    }
    bool markerPending = false; // the current entry is a marker line
    uint32_t entryStart = 0;
    for (uint32_t at = 0; at + 1 < length; ++at) {
        if (data[at] != kCR || data[at + 1] != kLF)
            continue;
        const uint32_t next = at + 2;
        // In record mode a break closes a marker line, and the entry before
        // a marker line ("@=" after the break, both bytes in the data).
        const bool markerFollows = next + 1 < length && data[next] == kMarkerAt &&
                                   data[next + 1] == kMarkerEquals;
        const bool closes = mode == TableMode::plain || markerPending || markerFollows;
        markerPending = mode == TableMode::record && markerFollows;
        if (closes) {
            if (!out.close(next - entryStart))
                return out.finish();
            entryStart = next;
        }
        ++at; // past the LF
    }
    out.close(length - entryStart + 2); // as though a line break closed it
    return out.finish();
}

bool isMarked(const uint8_t *data, uint32_t length) {
    uint32_t same = 0;
    while (same < kMarkLength && same < length && data[same] == uint8_t(kMark[same]))
        ++same;
    return same == kMarkLength;
}

void decodeMarkedScalar(uint8_t *data, uint32_t length) {
    uint32_t start = 1; // the scrambled part starts at the first stored "@=", past the mark
    while (start + 1 < length && !(data[start] == kStoredAt && data[start + 1] == kStoredEquals))
        ++start;
    if (start + 1 >= length)
        return;
    for (uint32_t i = start; i < length; ++i) {
        // A line break stored plain before a stored marker has just been
        // complemented into 0xF2 0xF5 (in the head it stands as stored): it
        // becomes CR LF again, whatever the byte before the LF held.
        if (data[i] == kStoredAt && i + 1 < length && data[i + 1] == kStoredEquals && i >= 2 &&
            data[i - 1] == kStoredLF)
            restoreBreak(data + i - 2);
        data[i] = stored(data[i]);
    }
    // A final line break stored plain has been complemented too.
    if (data[length - 2] == kStoredCR && data[length - 1] == kStoredLF)
        restoreBreak(data + length - 2);
}

uint32_t decodeMarkedAndBuildScalar(uint8_t *data, uint32_t length, uint16_t *table) {
    decodeMarkedScalar(data, length);
    return buildLineTableScalar(data, length, table, TableMode::record);
}

} // namespace vellomar
