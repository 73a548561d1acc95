// What every fuzz target checks about a line table, whichever way it was
// built: the count and end marker where they belong, nothing written past
// them, and below the limit entries that tile the data along its line breaks
// by the rules of the mode.
#ifndef VELLOMAR_FUZZ_FUZZ_CHECKS_H
#define VELLOMAR_FUZZ_FUZZ_CHECKS_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cases/host_fills.h"
#include "text/text.h"

namespace fuzzcheck {

// A failed check is a finding: libFuzzer keeps the input that caused it.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);      \
            abort();                                                                           \
        }                                                                                      \
    } while (0)

// What the host left in its memory: the test suites' fills.
using ::kBufferFill;
using ::kTableFill;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t LF = 0x0A;

// What the host left in its table. Filling and comparing go through memcpy
// and memcmp: loops over tens of thousands of words here would each be traced
// by the fuzzer's coverage and slow every run down a hundredfold.
struct TableFill {
    TableFill() {
        for (uint16_t &word : words)
            word = kTableFill;
    }
    uint16_t words[VELLOMAR_RECORD_TABLE_WORDS];
};

inline const uint16_t *tableFill() {
    static const TableFill fill;
    return fill.words;
}

// Tables are kept for the next run rather than freed: a fresh 64 KiB from
// AddressSanitizer's allocator costs page faults on every run.
class TablePool {
public:
    static uint16_t *take(uint32_t words) {
        Shelf &shelf = shelfFor(words);
        return shelf.count > 0 ? shelf.tables[--shelf.count] : new uint16_t[words];
    }
    static void give(uint16_t *table, uint32_t words) {
        Shelf &shelf = shelfFor(words);
        if (shelf.count < kPerShelf)
            shelf.tables[shelf.count++] = table;
        else
            delete[] table;
    }

private:
    static constexpr int kPerShelf = 8;
    struct Shelf {
        uint32_t words = 0;
        int count = 0;
        uint16_t *tables[kPerShelf];
    };
    static Shelf &shelfFor(uint32_t words) {
        static Shelf shelves[2];
        for (Shelf &shelf : shelves) {
            if (shelf.words == words)
                return shelf;
            if (shelf.words == 0) {
                shelf.words = words;
                return shelf;
            }
        }
        FUZZ_CHECK(!"a table size other than the two limits + 4");
        return shelves[0];
    }
};

// The host's table: exactly limit + 4 words on the heap, so that AddressSanitizer
// stops any write past the last of them, filled with what the host left there.
struct HostTable {
    explicit HostTable(uint32_t words) : words(words), at(TablePool::take(words)) {
        FUZZ_CHECK(words <= VELLOMAR_RECORD_TABLE_WORDS);
        memcpy(at, tableFill(), words * sizeof *at);
    }
    ~HostTable() { TablePool::give(at, words); }
    HostTable(const HostTable &) = delete;
    HostTable &operator=(const HostTable &) = delete;

    // Words [from, words) hold what the host left there.
    bool untouchedFrom(uint32_t from) const {
        return from >= words || memcmp(at + from, tableFill(), (words - from) * sizeof *at) == 0;
    }
    bool untouched() const { return untouchedFrom(0); }
    bool sameAs(const HostTable &other) const {
        return words == other.words && memcmp(at, other.at, words * sizeof *at) == 0;
    }

    uint32_t words;
    uint16_t *at;
};

// A host buffer of exactly the given size on the heap: not a byte to spare.
struct HostBuffer {
    explicit HostBuffer(uint32_t size) : size(size), at(new uint8_t[size]) {
        memset(at, kBufferFill, size);
    }
    ~HostBuffer() { delete[] at; }
    HostBuffer(const HostBuffer &) = delete;
    HostBuffer &operator=(const HostBuffer &) = delete;

    uint32_t size;
    uint8_t *at;
};

// The data an input stands for: the input itself, unless it begins with
// 0xFF; then the next two bytes give a repeat count (1 to 65536) and the data
// is the rest of the input that many times over, cut to at most maxData
// bytes, so that short inputs reach the entry limits and long stretches.
struct Expanded {
    const uint8_t *body;
    size_t bodySize;
    uint32_t repeats;
    uint32_t length;

    Expanded(const uint8_t *input, size_t size, uint32_t maxData) {
        repeats = 1;
        body = input;
        bodySize = size;
        if (size >= 3 && input[0] == 0xFF) {
            repeats = (static_cast<uint32_t>(input[1]) << 8 | input[2]) + 1;
            body = input + 3;
            bodySize = size - 3;
        }
        if (bodySize > maxData)
            bodySize = maxData;
        if (bodySize == 0)
            repeats = 1;
        else if (repeats > maxData / bodySize)
            repeats = static_cast<uint32_t>(maxData / bodySize);
        length = static_cast<uint32_t>(bodySize * repeats);
    }

    void copyTo(uint8_t *at) const {
        for (uint32_t i = 0; i < repeats; ++i)
            memcpy(at + i * bodySize, body, bodySize);
    }
};

inline bool breakAt(const uint8_t *data, uint32_t length, uint32_t at) {
    return at + 1 < length && data[at] == CR && data[at + 1] == LF;
}

// "@=" at at, directly after a line break.
inline bool markerAt(const uint8_t *data, uint32_t length, uint32_t at) {
    return at >= 2 && breakAt(data, length, at - 2) && at + 1 < length && data[at] == '@' &&
           data[at + 1] == '=';
}

// Checks the table that a build over data[0, length) in mode gave, with its
// result. The table must be a fresh HostTable of limit + 4 words.
inline void checkTable(const uint8_t *data, uint32_t length, vellomar::TableMode mode,
                       const HostTable &table, uint32_t result) {
    const uint32_t limit = vellomar::entryLimit(mode);
    FUZZ_CHECK(table.words == limit + 4);
    FUZZ_CHECK(result >= 1 && result <= limit + 1);
    FUZZ_CHECK(table.at[0] == static_cast<uint16_t>(result));
    FUZZ_CHECK(table.at[result + 1] == VELLOMAR_END_MARKER);
    // Past the end marker the host's words stand as they were: at the limit
    // that is word limit + 3, the table's last.
    FUZZ_CHECK(table.untouchedFrom(result + 2));

    if (length == 0) {
        FUZZ_CHECK(result == 1 && table.at[1] == 3);
        return;
    }
    // Lengths are 16 bits wide: what they add up to is only known modulo 2^16,
    // and offsets only while no entry can reach 65536 bytes.
    uint32_t sum = 0;
    for (uint32_t i = 1; i <= result; ++i)
        sum += table.at[i];
    const bool overLimit = result > limit;
    if (!overLimit)
        FUZZ_CHECK(static_cast<uint16_t>(sum) == static_cast<uint16_t>(length + 2));
    if (length + 2 > 0xFFFF)
        return;
    FUZZ_CHECK(sum <= length + 2);
    if (!overLimit)
        FUZZ_CHECK(sum == length + 2);

    const bool record = mode == vellomar::TableMode::record;
    uint32_t start = 0;
    for (uint32_t i = 1; i <= result; ++i) {
        const uint32_t entry = table.at[i];
        const uint32_t end = start + entry; // one past the line break
        // Every entry but the last ends with its line break; the last runs
        // to the end of the data. Past the limit the last entry written may
        // be either.
        const bool last = i == result && (!overLimit || end == length + 2);
        FUZZ_CHECK(entry >= 2);
        if (last) {
            FUZZ_CHECK(end == length + 2);
        } else {
            FUZZ_CHECK(end <= length);
            FUZZ_CHECK(data[end - 2] == CR && data[end - 1] == LF);
        }
        const uint32_t textEnd = last ? length : end - 2;
        // A line break inside an entry's text did not close it: never in plain
        // mode; in record mode only when no marker follows it and the entry
        // is not a marker line, which its first line break closes.
        const bool markerLine = record && markerAt(data, length, start);
        for (uint32_t at = start; at + 1 < textEnd; ++at) {
            if (!breakAt(data, length, at))
                continue;
            FUZZ_CHECK(record);
            FUZZ_CHECK(!markerLine);
            FUZZ_CHECK(!markerAt(data, length, at + 2));
        }
        // And the line break that closed an entry had a reason to.
        if (!last)
            FUZZ_CHECK(!record || markerLine || markerAt(data, length, end));
        start = end;
    }
}

} // namespace fuzzcheck

#endif
