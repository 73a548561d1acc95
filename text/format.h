// The bytes of the text format, in one place for the library, the tools and
// the tests: line breaks, record markers, the mark of a marked file and how
// its scrambled part stores each of them.
#ifndef VELLOMAR_TEXT_FORMAT_H
#define VELLOMAR_TEXT_FORMAT_H

#include <stdint.h>

namespace vellomar {

// A line break is CR LF; a line break followed by "@=" is a record marker.
constexpr uint8_t kCR = 0x0D;
constexpr uint8_t kLF = 0x0A;
constexpr uint8_t kMarkerAt = '@';
constexpr uint8_t kMarkerEquals = '=';

// A marked file begins with these four bytes.
constexpr char kMark[] = "_PW_";
constexpr uint32_t kMarkLength = 4;

// The scrambled part of a marked file stores every byte complemented.
constexpr uint8_t stored(uint8_t byte) { return static_cast<uint8_t>(~byte); }
constexpr uint8_t kStoredCR = stored(kCR);                     // 0xF2
constexpr uint8_t kStoredLF = stored(kLF);                     // 0xF5
constexpr uint8_t kStoredAt = stored(kMarkerAt);               // 0xBF
constexpr uint8_t kStoredEquals = stored(kMarkerEquals);       // 0xC2

} // namespace vellomar

#endif
