// The library's boundary: the one export, and on Windows the loader entry.
#include "vellomar.h"

#include "library/os.h"
#include "library/string_table.h"

extern "C" VELLOMAR_API uint32_t VELLOMAR_CALL StringTable(uint8_t *buffer, uint32_t expectedSize,
                                                           uint16_t *table, const char *fileName,
                                                           uint32_t recordMode) {
    return vellomar::readStringTable(vellomar::platformOs, buffer, expectedSize, table, fileName,
                                     recordMode);
}
