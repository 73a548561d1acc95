// Writes entries into the host's table. Shared by every kernel so that the
// count, the limit and the end marker are handled in exactly one way.
#ifndef VELLOMAR_TEXT_TABLE_WRITER_H
#define VELLOMAR_TEXT_TABLE_WRITER_H

#include <stdint.h>

#include "text/line_table.h"

namespace vellomar {

class TableWriter {
public:
    VELLOMAR_ALWAYS_INLINE TableWriter(uint16_t *table, TableMode mode)
        : table_(table), limit_(entryLimit(mode)) {}

    // Writes the next entry's length (its low 16 bits: the table cannot hold
    // more). The entry that takes the count past the limit is still written,
    // into word limit + 1, so that the count never claims a word the build
    // left alone; false then tells the caller to stop.
    VELLOMAR_ALWAYS_INLINE bool close(uint32_t entryLength) {
        ++count_;
        table_[count_] = static_cast<uint16_t>(entryLength);
        return count_ <= limit_;
    }

    VELLOMAR_ALWAYS_INLINE uint32_t finish() {
        table_[count_ + 1] = kEndMarker;
        table_[0] = static_cast<uint16_t>(count_);
        return count_;
    }

private:
    uint16_t *table_;
    uint32_t limit_;
    uint32_t count_ = 0;
};

} // namespace vellomar

#endif
