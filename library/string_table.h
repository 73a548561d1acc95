#ifndef VELLOMAR_LIBRARY_STRING_TABLE_H
#define VELLOMAR_LIBRARY_STRING_TABLE_H

#include <stdint.h>

#include "library/os.h"

namespace vellomar {

// StringTable over a given OS layer: reads fileName whole into buffer, checks
// its size, decodes a marked file and builds the line table. 0 on failure.
uint32_t readStringTable(const OsLayer &os, uint8_t *buffer, uint32_t expectedSize,
                         uint16_t *table, const char *fileName, uint32_t recordMode);

} // namespace vellomar

#endif
