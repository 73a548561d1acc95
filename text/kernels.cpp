// The one place that chooses which kernel runs.
#include "text/line_table.h"
#include "text/marked.h"

namespace vellomar {

uint32_t buildLineTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode) {
    return buildLineTableScalar(data, length, table, mode);
}

void decodeMarked(uint8_t *data, uint32_t length) { decodeMarkedScalar(data, length); }

} // namespace vellomar
