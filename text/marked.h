// Marked files: "_PW_", a plain head, then everything from the first stored
// record marker on stored complemented. Decoding restores the text in place.
#ifndef VELLOMAR_TEXT_MARKED_H
#define VELLOMAR_TEXT_MARKED_H

#include <stdint.h>

namespace vellomar {

bool isMarked(const uint8_t *data, uint32_t length); // 4 bytes or more, starting "_PW_"

// The byte-at-a-time reference decoding, and the reference pair: it, then
// buildLineTableScalar in record mode; the pair returns the entry count.
void decodeMarkedScalar(uint8_t *data, uint32_t length);
uint32_t decodeMarkedAndBuildScalar(uint8_t *data, uint32_t length, uint16_t *table);

// The pair with the fastest kernel this processor runs, in one pass.
uint32_t decodeMarkedAndBuild(uint8_t *data, uint32_t length, uint16_t *table);

} // namespace vellomar

#endif
