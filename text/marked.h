// Marked files: "_PW_", a plain head, then everything from the first stored
// record marker on stored complemented. Decoding restores the text in place.
#ifndef VELLOMAR_TEXT_MARKED_H
#define VELLOMAR_TEXT_MARKED_H

#include <stdint.h>

namespace vellomar {

// True when the data is at least 4 bytes and begins with "_PW_".
bool isMarked(const uint8_t *data, uint32_t length);

// The byte-at-a-time reference decoding that every kernel must match.
void decodeMarkedScalar(uint8_t *data, uint32_t length);

// The reference pair: decodeMarkedScalar, then buildLineTableScalar in
// record mode. Returns the entry count.
uint32_t decodeMarkedAndBuildScalar(uint8_t *data, uint32_t length, uint16_t *table);

// The same with the fastest kernel this processor runs, in one pass.
uint32_t decodeMarkedAndBuild(uint8_t *data, uint32_t length, uint16_t *table);

} // namespace vellomar

#endif
