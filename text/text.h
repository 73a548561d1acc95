// What text/ offers the library, the tools and the tests: the format's bytes,
// the line table and marked files. On memory alone, no platform calls.
#ifndef VELLOMAR_TEXT_TEXT_H
#define VELLOMAR_TEXT_TEXT_H

#include <stdint.h>

#include "vellomar.h" // the end marker and the entry limits

namespace vellomar {

// A line break is CR LF; a line break followed by "@=" is a record marker.
constexpr uint8_t kCR = 0x0D, kLF = 0x0A, kMarkerAt = '@', kMarkerEquals = '=';

// A marked file begins with the mark and a plain head; everything from the
// first stored record marker on is stored complemented.
constexpr char kMark[] = "_PW_";
constexpr uint32_t kMarkLength = 4;
constexpr uint8_t stored(uint8_t byte) { return static_cast<uint8_t>(~byte); }
constexpr uint8_t kStoredCR = stored(kCR), kStoredLF = stored(kLF); // 0xF2 0xF5
constexpr uint8_t kStoredAt = stored(kMarkerAt), kStoredEquals = stored(kMarkerEquals); // 0xBF 0xC2
inline void restoreBreak(uint8_t *at) { // a line break stored plain, complemented: CR LF again
    at[0] = kCR;
    at[1] = kLF;
}

enum class TableMode { plain, record };
constexpr uint32_t entryLimit(TableMode mode) {
    return mode == TableMode::record ? VELLOMAR_RECORD_ENTRY_LIMIT : VELLOMAR_PLAIN_ENTRY_LIMIT;
}

// Builds the table over data[0, length) with the chosen kernel set; returns
// the entry count (1 to limit + 1), writing words 0 to count + 1 alone. The
// byte-at-a-time reference, which every set must match, does the same.
uint32_t buildLineTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode);
uint32_t buildLineTableScalar(const uint8_t *data, uint32_t length, uint16_t *table,
                              TableMode mode);
// The reference's entry lengths whole, for readers that must see past the
// table's 16 bits: lengths[0, count), with count as the table's, so room for
// the limit + 1.
uint32_t entryLengthsScalar(const uint8_t *data, uint32_t length, TableMode mode,
                            uint64_t *lengths);

bool isMarked(const uint8_t *data, uint32_t length); // 4 bytes or more, starting "_PW_"

// Restores a marked file in place and builds its table in record mode, in
// one pass with the fastest kernel; returns the entry count. The reference
// pair decodes byte at a time, then runs buildLineTableScalar.
uint32_t decodeMarkedAndBuild(uint8_t *data, uint32_t length, uint16_t *table);
void decodeMarkedScalar(uint8_t *data, uint32_t length);
uint32_t decodeMarkedAndBuildScalar(uint8_t *data, uint32_t length, uint16_t *table);

// Writes entries into the host's table, for every kernel alike. The entry
// that takes the count past the limit is still written, into word limit + 1,
// so that the count never claims a word the build left alone; close() is
// then false, and the build stops. Lengths keep their low 16 bits.
class TableWriter {
public:
    TableWriter(uint16_t *table, TableMode mode) : table_(table), limit_(entryLimit(mode)) {}

    bool close(uint32_t entryLength) {
        table_[++count_] = static_cast<uint16_t>(entryLength);
        return count_ <= limit_;
    }

    uint32_t finish() {
        table_[count_ + 1] = VELLOMAR_END_MARKER;
        table_[0] = static_cast<uint16_t>(count_);
        return count_;
    }

private:
    uint16_t *table_;
    uint32_t limit_, count_ = 0;
};

} // namespace vellomar

#endif
