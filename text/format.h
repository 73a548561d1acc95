// The bytes of the text format, in one place for the library, the tools and
// the tests.
#ifndef VELLOMAR_TEXT_FORMAT_H
#define VELLOMAR_TEXT_FORMAT_H

#include <stdint.h>

namespace vellomar {

// A line break is CR LF; a line break followed by "@=" is a record marker.
constexpr uint8_t kCR = 0x0D, kLF = 0x0A, kMarkerAt = '@', kMarkerEquals = '=';

// A marked file begins with the mark and stores its scrambled part complemented.
constexpr char kMark[] = "_PW_";
constexpr uint32_t kMarkLength = 4;
constexpr uint8_t stored(uint8_t byte) { return static_cast<uint8_t>(~byte); }
constexpr uint8_t kStoredCR = stored(kCR), kStoredLF = stored(kLF); // 0xF2 0xF5
constexpr uint8_t kStoredAt = stored(kMarkerAt), kStoredEquals = stored(kMarkerEquals); // 0xBF 0xC2

} // namespace vellomar

#endif
