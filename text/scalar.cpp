// The byte-at-a-time table build and decoding: the reference that every
// kernel set must match, run by the library only in a build with no other set.
#include "text/text.h"

namespace vellomar {

namespace {

// Walks data[0, length) once and hands each entry's whole length, in order,
// to close(), which answers whether to go on. The last entry, which no line
// break closes, counts as though one did; an empty file is one entry of 3.
template <class Close>
void splitEntries(const uint8_t *data, uint32_t length, TableMode mode, Close close) {
    if (length == 0) {
        close(3);
        return;
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
            if (!close(next - entryStart))
                return;
            entryStart = next;
        }
        ++at; // past the LF
    }
    close(uint64_t(length) - entryStart + 2);
}

} // namespace

uint32_t buildLineTableScalar(const uint8_t *data, uint32_t length, uint16_t *table,
                              TableMode mode) {
    TableWriter out(table, mode);
    splitEntries(data, length, mode, [&out](uint64_t n) { return out.close(uint32_t(n)); });
    return out.finish();
}

uint32_t entryLengthsScalar(const uint8_t *data, uint32_t length, TableMode mode,
                            uint64_t *lengths) {
    uint32_t count = 0;
    const uint32_t limit = entryLimit(mode);
    splitEntries(data, length, mode, [&](uint64_t n) {
        lengths[count++] = n;
        return count <= limit;
    });
    return count;
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
        // complemented into 0xF2 0xF5 (in the head it stands as stored).
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
