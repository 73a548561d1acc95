#include "text/line_table.h"

#include "text/format.h"
#include "text/table_writer.h"

namespace vellomar {

namespace {

// A record marker is "@=" directly after a line break, both bytes in the data.
bool markerAt(const uint8_t *data, uint32_t length, uint32_t at) {
    return at + 1 < length && data[at] == kMarkerAt && data[at + 1] == kMarkerEquals;
}

} // namespace

uint32_t buildLineTableScalar(const uint8_t *data, uint32_t length, uint16_t *table,
                              TableMode mode) {
    TableWriter out(table, mode);
    if (length == 0) {
        // An empty file reads as one entry of 3, as it always has.
        out.close(3);
        return out.finish();
    }
    const bool record = mode == TableMode::record;
    bool markerPending = false; // the current entry is a marker line
    uint32_t entryStart = 0;
    uint32_t at = 0;
    while (at + 1 < length) {
        if (data[at] != kCR || data[at + 1] != kLF) {
            ++at;
            continue;
        }
        const uint32_t next = at + 2;
        bool closes = true;
        if (record) {
            // A break closes a marker line, and the entry before a marker
            // line; so each marker line is an entry of its own.
            const bool markerFollows = markerAt(data, length, next);
            closes = markerPending || markerFollows;
            markerPending = markerFollows;
        }
        if (closes) {
            if (!out.close(next - entryStart))
                return out.finish();
            entryStart = next;
        }
        at = next;
    }
    // The last entry counts as though a line break closed it.
    out.close(length - entryStart + 2);
    return out.finish();
}

} // namespace vellomar
