// The byte-at-a-time parts of the block kernels: the few positions at the
// ends of the data that no block covers. Plain code for any processor,
// compiled once and shared by every kernel set (simd_kernels.h), so that
// the Windows DLL carries a single copy of it.
#ifndef VELLOMAR_TEXT_KERNEL_TAILS_H
#define VELLOMAR_TEXT_KERNEL_TAILS_H

#include <stdint.h>

#include "text/table_writer.h"

namespace vellomar {

constexpr uint8_t kCR = 0x0D;
constexpr uint8_t kLF = 0x0A;
constexpr uint8_t kStoredAt = 0xBF;     // '@' complemented
constexpr uint8_t kStoredEquals = 0xC2; // '=' complemented
constexpr uint8_t kStoredCR = 0xF2;
constexpr uint8_t kStoredLF = 0xF5;

// Where the walk stands: the next position to look at for a line break, the
// current entry's first byte, and whether the current entry is a marker line.
struct WalkState {
    uint32_t at = 0;
    uint32_t entryStart = 0;
    bool markerPending = false;
};

// The rest of the walk, byte by byte, exactly as the reference does it: the
// positions below `until` (all of them by default) that a break can start
// at. False when the table is full and the build must finish.
bool walkTail(const uint8_t *data, uint32_t length, bool record, TableWriter &out,
              WalkState &state, uint32_t until = 0xFFFFFFFFu);

// Decodes the bytes from `at` to `to` of a marked file whose scrambled part
// begins at `start`, one at a time, with the same repairs as the blocks make.
void decodeBytes(uint8_t *data, uint32_t at, uint32_t to, uint32_t start);

// Decodes the last bytes, from `at` on, then puts back the final line break
// if it was stored plain.
void decodeTail(uint8_t *data, uint32_t at, uint32_t length, uint32_t start);

} // namespace vellomar

#endif
