// The line table: splits the data into entries and writes their lengths into
// the host's table. Works on memory alone; nothing here calls the platform.
#ifndef VELLOMAR_TEXT_LINE_TABLE_H
#define VELLOMAR_TEXT_LINE_TABLE_H

#include <stdint.h>

namespace vellomar {

enum class TableMode { plain, record };

constexpr uint16_t kEndMarker = 0xFC19; // -999
constexpr uint32_t kPlainEntryLimit = 16384;
constexpr uint32_t kRecordEntryLimit = 32768;

// For functions defined in headers that the vector kernels include. Their
// files are compiled for AVX2, and an out-of-line copy made there could be
// the one the linker keeps for every caller, even on a processor without
// AVX2; inlined everywhere, even unoptimised, no such copy exists.
#define VELLOMAR_ALWAYS_INLINE __attribute__((always_inline))

VELLOMAR_ALWAYS_INLINE constexpr uint32_t entryLimit(TableMode mode) {
    return mode == TableMode::record ? kRecordEntryLimit : kPlainEntryLimit;
}

// Builds the table over data[0, length) and returns the entry count (at
// least 1). Writes words 0 to count + 1 and nothing else; the count never
// exceeds the limit + 1. Picks the fastest kernel this processor has.
uint32_t buildLineTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode);

// The byte-at-a-time reference that every faster kernel must match.
uint32_t buildLineTableScalar(const uint8_t *data, uint32_t length, uint16_t *table,
                              TableMode mode);

} // namespace vellomar

#endif
