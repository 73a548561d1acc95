#include "text/marked.h"

#include "text/format.h"
#include "text/line_table.h"

namespace vellomar {

bool isMarked(const uint8_t *data, uint32_t length) {
    uint32_t same = 0;
    while (same < kMarkLength && same < length && data[same] == static_cast<uint8_t>(kMark[same]))
        ++same;
    return same == kMarkLength;
}

void decodeMarkedScalar(uint8_t *data, uint32_t length) {
    // The scrambled part starts at the first stored "@="; the mark cannot hold one.
    uint32_t start = 1;
    while (start + 1 < length && !(data[start] == kStoredAt && data[start + 1] == kStoredEquals))
        ++start;
    if (start + 1 >= length)
        return;
    for (uint32_t i = start; i < length; ++i) {
        // A line break stored plain before a stored marker has just been
        // complemented into 0xF2 0xF5 (or, in the head, stands as stored):
        // make it a line break again. The byte before the LF becomes CR
        // whatever it held, as files written for this format expect.
        if (data[i] == kStoredAt && i + 1 < length && data[i + 1] == kStoredEquals && i >= 2 &&
            data[i - 1] == kStoredLF) {
            data[i - 2] = kCR;
            data[i - 1] = kLF;
        }
        data[i] = stored(data[i]);
    }
    // A final line break stored plain has been complemented too.
    if (data[length - 2] == kStoredCR && data[length - 1] == kStoredLF)
        data[length - 2] = kCR, data[length - 1] = kLF;
}

uint32_t decodeMarkedAndBuildScalar(uint8_t *data, uint32_t length, uint16_t *table) {
    decodeMarkedScalar(data, length);
    return buildLineTableScalar(data, length, table, TableMode::record);
}

} // namespace vellomar
