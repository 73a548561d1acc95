// Marked files: "_PW_", a plain head, then everything from the first record
// marker on stored as its bitwise complement. Decoding restores the text in
// place. Works on memory alone; nothing here calls the platform.
#ifndef VELLOMAR_TEXT_MARKED_H
#define VELLOMAR_TEXT_MARKED_H

#include <stdint.h>

namespace vellomar {

// True when the data is at least 4 bytes and begins with "_PW_".
bool isMarked(const uint8_t *data, uint32_t length);

// Restores marked data in place (data that isMarked accepts; other data is
// left alone below offset 1). Picks the fastest kernel this processor has.
void decodeMarked(uint8_t *data, uint32_t length);

// The byte-at-a-time reference that every faster kernel must match.
void decodeMarkedScalar(uint8_t *data, uint32_t length);

// decodeMarked, then buildLineTable in record mode, as one step that reads
// and writes the data fewer times. Returns the entry count.
uint32_t decodeMarkedAndBuild(uint8_t *data, uint32_t length, uint16_t *table);

} // namespace vellomar

#endif
