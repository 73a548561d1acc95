#include "text/line_table.h"

#include "text/format.h"

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

} // namespace vellomar
